# The project's one GoogleTest setup: the Debian sources in /usr/src/googletest,
# built here with the project's compiler and sanitizer flags. Gives gtest,
# gtest_main and GTest::gtest_main to every test directory.
if(TARGET gtest)
  return()
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# The project's warning flags are for our own code: g++ 12 warns (wrongly)
# inside gtest itself.
target_compile_options(gtest PRIVATE -w)
target_compile_options(gtest_main PRIVATE -w)
if(NOT TARGET GTest::gtest_main)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()
