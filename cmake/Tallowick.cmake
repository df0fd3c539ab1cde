# Helpers that keep the build one line per folder.

set(TALLOWICK_ALL_LIBRARIES "")

# tallowick_tests(DIR DEPS libs... [ENV NAME=VALUE...]): every DIR/*_test.cc
# becomes a test program named after its file, linked with gtest_main and the
# given libraries, run with the given environment besides the usual one.
function(tallowick_tests dir)
  cmake_parse_arguments(ARG "" "" "DEPS;ENV" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${dir}/*_test.cc)
  set(environment "TALLOWICK_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
                  "TALLOWICK_BINARY_DIR=${PROJECT_BINARY_DIR}" ${ARG_ENV})
  if(TALLOWICK_TSAN)
    list(APPEND environment "TSAN_OPTIONS=${TALLOWICK_TSAN_OPTIONS}")
  endif()
  foreach(test_source ${tests})
    get_filename_component(test_name ${test_source} NAME_WE)
    add_executable(${test_name} ${test_source})
    target_include_directories(${test_name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_BINARY_DIR}/generated)
    target_link_libraries(${test_name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
    # Tests draw their pictures with the image libraries themselves.
    if(TARGET tallowick_media)
      target_link_libraries(${test_name} PRIVATE tallowick_media)
    endif()
    add_test(NAME ${test_name} COMMAND ${test_name})
    set_tests_properties(${test_name} PROPERTIES
      TIMEOUT 600
      ENVIRONMENT "${environment}")
  endforeach()
endfunction()

# tallowick_library(NAME DIR DEPS libs...): a static library of DIR/*.cc (tests
# excluded) plus its tests. A folder with no sources yet is skipped.
function(tallowick_library name dir)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${dir}/*.cc)
  list(FILTER sources EXCLUDE REGEX "_test\\.cc$")
  if(NOT sources)
    return()
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_BINARY_DIR}/generated)
  set(deps "")
  foreach(dep ${ARG_DEPS})
    if(TARGET ${dep})
      list(APPEND deps ${dep})
    endif()
  endforeach()
  target_link_libraries(${name} PUBLIC ${deps})
  tallowick_tests(${dir} DEPS ${name})
  set(TALLOWICK_ALL_LIBRARIES ${TALLOWICK_ALL_LIBRARIES} ${name} PARENT_SCOPE)
endfunction()
