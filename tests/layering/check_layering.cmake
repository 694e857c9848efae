# cmake -DCONFIG=<file> -DCOMPILER=<c++> -DROOTS=<include roots> -DSOURCES=<src> -DWORK=<dir>
#       -P check_layering.cmake
#
# For every library: a probe including a header of each folder it may see must go through
# the preprocessor against its include root (with everything that header includes), and a
# probe including a header of each other folder must fail because the file is not found
# there. Then every #include in the library's folder (for
# every system, also the files this build does not compile) must name a folder it may see,
# none may climb out of its folder with "..", and the library may link only the libraries
# of those folders. Any breach fails the test with what and where.
cmake_minimum_required(VERSION 3.25)
include(${CONFIG})

# One header of each folder, with no toolkit or library headers of its own.
set(PROBE_platform platform/serial_device.h)
set(PROBE_comm comm/comm.h)
set(PROBE_protocol protocol/module_contract.h)
set(PROBE_form form/form_surface.h)
set(PROBE_connection connection/link.h)
set(PROBE_programming programming/xmodem_sender.h)
set(PROBE_app app/services.h)
set(PROBE_sim sim/wire.h)
set(PROBE_cli cli/options.h)
set(PROBE_gui gui/qt_event_loop.h)
set(PROBE_win32gui win32gui/error_box.h)
set(FOLDERS platform comm protocol form connection programming app sim cli gui win32gui)

file(MAKE_DIRECTORY ${WORK})
set(failures "")
set(checked 0)

function(probe lib folder expect_ok)
  set(source ${WORK}/${lib}_includes_${folder}.cpp)
  file(WRITE ${source} "#include \"${PROBE_${folder}}\"\n")
  execute_process(
    COMMAND ${COMPILER} -std=c++20 -E -I${ROOTS}/${lib} ${source}
    RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(expect_ok AND NOT result EQUAL 0)
    set(failures "${failures}\n${lib} cannot include ${PROBE_${folder}}, which it may:\n${err}"
        PARENT_SCOPE)
  elseif(NOT expect_ok)
    if(result EQUAL 0)
      set(failures "${failures}\n${lib} can include ${PROBE_${folder}}, which is above it"
          PARENT_SCOPE)
    elseif(NOT err MATCHES "${PROBE_${folder}}: No such file or directory|'${PROBE_${folder}}' file not found")
      set(failures "${failures}\n${lib} including ${PROBE_${folder}} failed, but not for want of the file:\n${err}"
          PARENT_SCOPE)
    endif()
  endif()
endfunction()

foreach(lib ${LIBS})
  set(sees ${SEES_${lib}})
  foreach(folder ${FOLDERS})
    if(folder IN_LIST sees)
      probe(${lib} ${folder} TRUE)
    else()
      probe(${lib} ${folder} FALSE)
    endif()
    math(EXPR checked "${checked} + 1")
  endforeach()

  # What the folder's files include, on every system.
  file(GLOB_RECURSE files ${SOURCES}/${lib}/*.h ${SOURCES}/${lib}/*.cpp)
  foreach(file ${files})
    file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line ${includes})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*" "\\1" header "${line}")
      file(RELATIVE_PATH where ${SOURCES} ${file})
      if(header MATCHES "^\\.\\.|/\\.\\./")
        set(failures "${failures}\n${where} climbs out of its folder: ${header}")
      elseif(header MATCHES "^([a-z0-9_]+)/")
        set(folder ${CMAKE_MATCH_1})
        if(folder IN_LIST FOLDERS AND NOT folder IN_LIST sees)
          set(failures "${failures}\n${where} includes ${header}, above ${lib}")
        endif()
      endif()
    endforeach()
  endforeach()

  # The libraries it links.
  foreach(link ${LINKS_${lib}})
    if(link MATCHES "^movrand_(.*)$")
      if(NOT CMAKE_MATCH_1 IN_LIST sees)
        set(failures "${failures}\nmovrand_${lib} links ${link}, above it")
      endif()
    endif()
  endforeach()
endforeach()

if(failures)
  message(FATAL_ERROR "The layering is broken:${failures}")
endif()
message(STATUS "Layering holds: ${checked} probes over the libraries ${LIBS}")
