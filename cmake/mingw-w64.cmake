# Cross-compiling for 64-bit Windows with mingw-w64. The posix-thread flavour of the
# compiler is the one whose standard library has std::thread and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# A Windows program is copied onto a bench PC on its own: the C++ run-time, libgcc and
# winpthread are linked into every executable, so none needs a DLL beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
