# GoogleTest for a cross build. Debian ships GoogleTest's sources in
# /usr/src/googletest; the build machine's compiled libraries are of no use
# for another target, so the sources are built here for it and exposed under
# the names that find_package(GTest) gives a native build.

set(CORVANE_GTEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH
    "GoogleTest sources to build for a cross target (Debian package googletest)")
if(NOT EXISTS "${CORVANE_GTEST_SOURCE_DIR}/CMakeLists.txt")
  message(FATAL_ERROR "No GoogleTest sources in ${CORVANE_GTEST_SOURCE_DIR}: "
                      "install the googletest package (scripts/setup-deps.sh does).")
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(_corvane_shared_libs "${BUILD_SHARED_LIBS}")
set(BUILD_SHARED_LIBS OFF)
add_subdirectory("${CORVANE_GTEST_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)
set(BUILD_SHARED_LIBS "${_corvane_shared_libs}")

foreach(_lib gtest gtest_main gmock gmock_main)
  if(NOT TARGET GTest::${_lib})
    add_library(GTest::${_lib} ALIAS ${_lib})
  endif()
endforeach()
if(NOT TARGET GTest::GTest)
  add_library(GTest::GTest ALIAS gtest)
  add_library(GTest::Main ALIAS gtest_main)
endif()

# Listing a test program's cases means running it (under Wine here); do that
# when CTest runs rather than after every link.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
