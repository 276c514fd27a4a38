# The suites of the Windows build, run as Windows programs under Wine (label "wine").
#
# The unit suite runs whole, but for the cases that read Linux's sysfs. Of the line suites, the
# engine and connection cases run, on COM ports that are one end of a Linux pseudo-terminal pair:
# the other end, and the virtual line between them, belong to a native Linux helper
# (quorvel-line-helper of the native build) that these programs drive over a localhost socket.
# scripts/wine-tests.sh sets all of this up and runs the suites.

# GoogleTest has no MinGW package: build it from Debian's sources.
set(GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the Windows build")
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
if(NOT TARGET GTest::gtest)
  add_library(GTest::gtest ALIAS gtest)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()
include(GoogleTest)

file(GLOB SUPPORT_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/support/*.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/support/win32/*.cpp)
add_library(quorvel_test_support STATIC ${SUPPORT_SOURCES})
target_include_directories(quorvel_test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/support)
target_link_libraries(quorvel_test_support PUBLIC quorvel_private GTest::gtest ws2_32)

# Files that only the POSIX layer can run; their Windows counterparts are in <suite>/win32/.
set(POSIX_ONLY_UNIT_TESTS ${CMAKE_CURRENT_SOURCE_DIR}/unit/SerialPortListTest.cpp)
set(SHARED_LINE_TESTS
  ${CMAKE_CURRENT_SOURCE_DIR}/line/EngineTest.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/line/ConnectionTest.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/line/TcpLineTest.cpp)

function(quorvel_wine_suite label)
  set(target ${label}_tests)
  add_executable(${target} ${ARGN})
  target_link_libraries(${target} PRIVATE quorvel_private quorvel_test_support GTest::gtest_main)
  # Discovered when ctest starts, so that building needs no Wine; each case is one Wine process.
  gtest_discover_tests(${target}
    PROPERTIES LABELS wine
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120)
endfunction()

file(GLOB unit_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/unit/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/unit/win32/*.cpp)
list(REMOVE_ITEM unit_sources ${POSIX_ONLY_UNIT_TESTS})
quorvel_wine_suite(unit ${unit_sources})

file(GLOB line_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/line/win32/*.cpp)
quorvel_wine_suite(line ${SHARED_LINE_TESTS} ${line_sources})
# The engine cases once more with length-aware framing, as the native build runs them.
gtest_discover_tests(line_tests
  TEST_PREFIX "length-aware:"
  TEST_FILTER "LineTest.*"
  PROPERTIES LABELS wine ENVIRONMENT "QUORVEL_LENGTH_AWARE=1"
  DISCOVERY_MODE PRE_TEST
  DISCOVERY_TIMEOUT 120)
