# Run as a test: `cmake -DROOT=<source dir> -P layer_check.cmake`. Each library under src/ sees
# only the headers of the layers it links, so a wrong-way include already fails to compile; this
# check says it in one place and names the file. A layer includes no layer above it, and the
# release tool's site work includes neither the network client nor the engine.
set(layers res platform base storage site net config update ui app)
set(failures "")

function(check_files forbidden)
  foreach(source ${ARGN})
    file(STRINGS ${source} includes REGEX "^#include \"")
    foreach(line ${includes})
      foreach(layer ${forbidden})
        if(line MATCHES "^#include \"${layer}/")
          file(RELATIVE_PATH name ${ROOT} ${source})
          list(APPEND failures "${name}: ${line}")
        endif()
      endforeach()
    endforeach()
  endforeach()
  set(failures ${failures} PARENT_SCOPE)
endfunction()

set(above ${layers})
foreach(layer ${layers})
  list(REMOVE_AT above 0)
  file(GLOB_RECURSE sources ${ROOT}/src/${layer}/*.cc ${ROOT}/src/${layer}/*.h)
  check_files("${above}" ${sources})
endforeach()
file(GLOB release_sources ${ROOT}/tools/release/*.cc ${ROOT}/tools/release/*.h)
list(FILTER release_sources EXCLUDE REGEX "/(main\\.cc|site_check\\.(cc|h))$")
check_files("net;update;ui;app" ${release_sources})

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "includes that point up the layers:\n  ${text}")
endif()
message(STATUS "every include points down the layers")
