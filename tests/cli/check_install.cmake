# Installs the build into a scratch prefix and checks that the programs, the desktop entry and
# the icon land where a desktop and a shell look for them, and that the installed headless
# front end runs. Called by ctest with -DBUILD_DIR, -DPREFIX and -DWITH_GUI.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed:\n${output}")
endif()

set(expected bin/movrand-flash bin/movrand-sim share/doc/movrand/README.md)
if(WITH_GUI)
  list(APPEND expected bin/movrand share/applications/movrand.desktop
       share/icons/hicolor/scalable/apps/movrand.svg)
endif()
foreach(path IN LISTS expected)
  if(NOT EXISTS "${PREFIX}/${path}")
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()

if(WITH_GUI)
  file(READ "${PREFIX}/share/applications/movrand.desktop" entry)
  foreach(line "Exec=movrand" "Icon=movrand" "Type=Application")
    string(FIND "${entry}" "${line}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "the desktop entry lacks ${line}")
    endif()
  endforeach()
endif()

execute_process(COMMAND "${PREFIX}/bin/movrand-flash" --version RESULT_VARIABLE result
                OUTPUT_VARIABLE version)
if(NOT result EQUAL 0 OR NOT version MATCHES "^movrand-flash [0-9]")
  message(FATAL_ERROR "the installed movrand-flash does not run: ${result} ${version}")
endif()
file(REMOVE_RECURSE "${PREFIX}")
message(STATUS "installed and checked: ${expected}")
