# Settings shared by every target of our own code.
function(zv_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(ZV_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  target_include_directories(${target} PUBLIC "${CMAKE_SOURCE_DIR}")
endfunction()

# A program users run: placed in ZV_BIN_DIR.
function(zv_program target)
  zv_defaults(${target})
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${ZV_BIN_DIR}")
endfunction()

# A GoogleTest suite. LABELS gpu marks suites that need a Vulkan device.
function(zv_test target)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  zv_defaults(${target})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  # GoogleTest's header is most of what a test file costs to compile: parsed once for every
  # suite (zv_test_headers in tests/). SDL's flags define _REENTRANT in the suites that link
  # it, and a precompiled header serves only files compiled with the same macros.
  target_compile_definitions(${target} PRIVATE _REENTRANT)
  target_precompile_headers(${target} REUSE_FROM zv_test_headers)
  set(labels cpu)
  if(ARG_LABELS)
    set(labels ${ARG_LABELS})
  endif()
  gtest_discover_tests(${target}
    WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}"
    PROPERTIES LABELS "${labels}"
    DISCOVERY_TIMEOUT 60)
endfunction()
