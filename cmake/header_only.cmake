# Header-only libraries that Debian installs for the build machine, usable by the cross build.
#
# A native build takes the library's own CMake package. A cross build must not: the package
# puts /usr/include on the include path, where the build machine's C library headers then
# shadow mingw-w64's (the first <stdint.h> fails). Instead only the library's own folder is
# linked into a folder of the build and that folder is the include path.
#
# movrand_header_only(<target> PACKAGE <name> [VERSION <v>] HEADER <path> FOLDER <folder>)
#   <target>: the imported target the package would define (nlohmann_json::nlohmann_json);
#   HEADER: a header of the library, relative to the include folder (nlohmann/json.hpp);
#   FOLDER: the library's folder inside the include folder (nlohmann).
function(movrand_header_only target)
  cmake_parse_arguments(H "" "PACKAGE;VERSION;HEADER;FOLDER" "" ${ARGN})
  if(TARGET ${target})
    return()
  endif()
  if(NOT CMAKE_CROSSCOMPILING)
    find_package(${H_PACKAGE} ${H_VERSION} REQUIRED GLOBAL)
    return()
  endif()
  find_path(include_dir ${H_HEADER} PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT include_dir)
    message(FATAL_ERROR "${H_HEADER} not found in /usr/include (Debian package of ${H_PACKAGE})")
  endif()
  set(staged ${CMAKE_BINARY_DIR}/header-only/${H_PACKAGE})
  file(MAKE_DIRECTORY ${staged})
  if(NOT EXISTS ${staged}/${H_FOLDER})
    file(CREATE_LINK ${include_dir}/${H_FOLDER} ${staged}/${H_FOLDER} SYMBOLIC)
  endif()
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${staged}
                                             INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${staged})
  unset(include_dir CACHE)
endfunction()
