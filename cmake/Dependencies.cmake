# Third-party libraries, all taken from the system.
#
# qss::lz4    the LZ4 block compressor (liblz4)
# qss_testing GoogleTest with its main(), for the test programs

if(NOT TARGET qss::lz4)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LZ4 REQUIRED IMPORTED_TARGET GLOBAL liblz4)
  add_library(qss::lz4 ALIAS PkgConfig::LZ4)
endif()

if(QSS_BUILD_TESTS AND NOT TARGET qss_testing)
  find_package(GTest REQUIRED)
  find_package(Threads REQUIRED)
  add_library(qss_testing INTERFACE)
  target_link_libraries(qss_testing INTERFACE GTest::gtest GTest::gtest_main Threads::Threads)
endif()
