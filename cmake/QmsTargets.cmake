# Settings shared by every target of our own code.
add_library(qms_options INTERFACE)
target_compile_options(qms_options INTERFACE -Wall -Wextra)
if(QMS_WERROR)
  target_compile_options(qms_options INTERFACE -Werror)
endif()
if(QMS_TEST_BUILD)
  target_compile_definitions(qms_options INTERFACE QMS_TEST_BUILD=1)
endif()
if(QMS_SANITIZE AND QMS_SANITIZE_THREAD)
  message(FATAL_ERROR "QMS_SANITIZE and QMS_SANITIZE_THREAD cannot be combined")
endif()
if(QMS_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()
# Every thread of the module, the agent link and the embedded CIMOM under the
# race and lock-order detector.
if(QMS_SANITIZE_THREAD)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# qms_test(NAME src...): one GoogleTest executable registered with ctest. Each
# test gets its own scratch root, so tests run in parallel without sharing
# files and never see the machine's real /etc, /var or /dev.
function(qms_test name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE qms_options GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  set(root ${CMAKE_BINARY_DIR}/testroot/${name})
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES ENVIRONMENT "QMS_TEST_ROOT=${root};QMS_TEST_BINARY_DIR=${CMAKE_BINARY_DIR}"
    TEST_PREFIX "${name}.")
endfunction()
