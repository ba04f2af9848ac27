# What every Windows program of the build shares, and GoogleTest built for the target.

# The manifest that makes UTF-8 the process's ANSI code page goes into every program (the tests
# included, so that they run with the text the programs see). It is compiled once at configure
# time; link options reach programs only, never the static libraries.
set(manifest_rc ${CMAKE_BINARY_DIR}/utf8_manifest.rc)
set(manifest_object ${CMAKE_BINARY_DIR}/utf8_manifest.o)
file(WRITE ${manifest_rc} "1 24 \"${PROJECT_SOURCE_DIR}/cmake/win32/utf8.manifest\"\n")
execute_process(COMMAND ${CMAKE_RC_COMPILER} -O coff -i ${manifest_rc} -o ${manifest_object}
                RESULT_VARIABLE manifest_failed)
if(manifest_failed)
  message(FATAL_ERROR "windres could not compile the manifest")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                                       ${PROJECT_SOURCE_DIR}/cmake/win32/utf8.manifest)
add_link_options(${manifest_object})

# GoogleTest from Debian's sources (package googletest), compiled for the target: the host's
# libraries are Linux objects.
function(varne_googletest_from_source)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  foreach(target gtest gtest_main gmock gmock_main)
    target_compile_options(${target} PRIVATE -Wno-error)
  endforeach()
endfunction()
