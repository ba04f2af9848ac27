# Helpers that keep the layers honest. Each library sees the headers of its own folder and of the
# libraries it links, and nothing else: headers are reached by their path below src/ or tests/
# ("<layer>/<file>.h", "<layer>/testing/<file>.h", "support/<file>.h") through a per-library
# include folder, so an include that points up the layers fails to compile.

set(VARNE_INCLUDE_ROOT ${CMAKE_BINARY_DIR}/include)

# varne_headers(<target> <name>): makes the current folder's headers reachable as "<name>/<file>.h"
# by the target and by what links it, through an include folder of the target's own.
function(varne_headers target name)
  set(include_dir ${VARNE_INCLUDE_ROOT}/${target})
  file(MAKE_DIRECTORY ${include_dir})
  file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${include_dir}/${name} SYMBOLIC)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${include_dir})
  else()
    target_include_directories(${target} PUBLIC ${include_dir})
  endif()
endfunction()

# varne_library(<layer> SOURCES ... [DEPS ...])
function(varne_library layer)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${layer} STATIC ${ARG_SOURCES})
  varne_headers(${layer} ${layer})
  target_link_libraries(${layer} PUBLIC ${ARG_DEPS})
endfunction()

# varne_interface(<layer>): the headers of a layer whose code is not built here (the platform layer
# when cross-checking).
function(varne_interface layer)
  add_library(${layer} INTERFACE)
  varne_headers(${layer} ${layer})
endfunction()

# varne_testing(<layer> [DEPS ...]): the helpers in the layer's testing/ folder, for the tests of
# the layer and of the layers above, as the library <layer>_testing. Their headers are reached by
# their own path, "<layer>/testing/<file>.h", through the layer's include folder; the library
# brings their code and what they use, GoogleTest included where the build has it (the fuzz targets
# use helpers without it).
function(varne_testing layer)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  if(VARNE_CROSS_CHECK)
    return()
  endif()
  if(TARGET GTest::gtest)
    list(APPEND ARG_DEPS GTest::gtest)
  endif()
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/testing/*.cc)
  if(sources)
    add_library(${layer}_testing STATIC ${sources})
    target_link_libraries(${layer}_testing PUBLIC ${layer} ${ARG_DEPS})
  else()
    add_library(${layer}_testing INTERFACE)
    target_link_libraries(${layer}_testing INTERFACE ${layer} ${ARG_DEPS})
  endif()
endfunction()

# varne_tests(<name> SOURCES ... DEPS ... [LABELS ...] [ENVIRONMENT NAME=value]): one GoogleTest
# program run by CTest, with that one variable set for it. Unit tests carry the label "unit"; the
# sanitizer build runs those.
function(varne_tests name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LABELS;ENVIRONMENT" ${ARGN})
  if(VARNE_CROSS_CHECK OR VARNE_FUZZ)
    return()
  endif()
  if(NOT ARG_LABELS)
    set(ARG_LABELS unit)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE VARNE_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                                             VARNE_BINARY_DIR="${CMAKE_BINARY_DIR}")
  set(properties LABELS "${ARG_LABELS}")
  if(ARG_ENVIRONMENT)
    list(APPEND properties ENVIRONMENT "${ARG_ENVIRONMENT}")
  endif()
  if(CMAKE_CROSSCOMPILING)
    # Listing the tests would start the emulator at build time: one CTest test per program.
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES ${properties})
  else()
    gtest_discover_tests(${name} PROPERTIES ${properties} DISCOVERY_TIMEOUT 60)
  endif()
endfunction()

# varne_fuzz_target(<name> SOURCES ... DEPS ...): a libFuzzer program (bin/fuzz_<name>), built only
# in the fuzz build (clang, VARNE_FUZZ=ON); scripts/fuzz.sh runs every one of them.
function(varne_fuzz_target name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  if(NOT VARNE_FUZZ)
    return()
  endif()
  add_executable(fuzz_${name} ${ARG_SOURCES})
  target_link_libraries(fuzz_${name} PRIVATE ${ARG_DEPS})
  target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
endfunction()

# Adds every sub-folder of the current folder that has a CMakeLists.txt (tools/, tests/, bench/,
# fuzz/ hold one folder per tool or subject).
function(varne_add_subfolders)
  file(GLOB children LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(child ${children})
    if(IS_DIRECTORY ${child} AND EXISTS ${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()
