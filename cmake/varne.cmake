# Helpers that keep the layers honest. Each library sees the headers of its own folder and of the
# libraries it links, and nothing else: headers are reached as "<layer>/<file>.h" through a
# per-library include folder, so an include that points up the layers fails to compile.

set(VARNE_INCLUDE_ROOT ${CMAKE_BINARY_DIR}/include)

# varne_library(<layer> SOURCES ... [DEPS ...])
function(varne_library layer)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  set(include_dir ${VARNE_INCLUDE_ROOT}/${layer})
  file(MAKE_DIRECTORY ${include_dir})
  file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${include_dir}/${layer} SYMBOLIC)
  add_library(${layer} STATIC ${ARG_SOURCES})
  target_include_directories(${layer} PUBLIC ${include_dir})
  target_link_libraries(${layer} PUBLIC ${ARG_DEPS})
endfunction()

# varne_interface(<layer>): the headers of a layer whose code is not built here (the platform layer
# when cross-checking).
function(varne_interface layer)
  set(include_dir ${VARNE_INCLUDE_ROOT}/${layer})
  file(MAKE_DIRECTORY ${include_dir})
  file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${include_dir}/${layer} SYMBOLIC)
  add_library(${layer} INTERFACE)
  target_include_directories(${layer} INTERFACE ${include_dir})
endfunction()

# varne_tests(<name> SOURCES ... DEPS ... [LABELS ...]): one GoogleTest program run by CTest.
# Unit tests carry the label "unit"; the sanitizer build runs those.
function(varne_tests name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LABELS" ${ARGN})
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
  if(WIN32)
    target_link_libraries(${name} PRIVATE posix_environment)
    target_compile_options(${name} PRIVATE -include
                                           ${PROJECT_SOURCE_DIR}/tests/windows/posix_environment.h)
  endif()
  if(CMAKE_CROSSCOMPILING)
    # Listing the tests would start the emulator at build time: one CTest test per program.
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
  else()
    gtest_discover_tests(${name} PROPERTIES LABELS "${ARG_LABELS}" DISCOVERY_TIMEOUT 60)
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
