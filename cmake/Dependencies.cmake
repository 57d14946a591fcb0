# Third-party libraries, all taken from the system.
#
# qss::lz4    the LZ4 block compressor (liblz4)
# qss_testing GoogleTest with its main(), for the test programs
#
# The Windows cross build (cmake/mingw-w64-x86_64.cmake) cannot use the
# host's libraries: LZ4 is compiled from Debian's lz4 source package by
# scripts/build-lz4-mingw, and GoogleTest from the sources that Debian's
# libgtest-dev ships in /usr/src/googletest.

if(WIN32 AND CMAKE_CROSSCOMPILING)
  if(NOT TARGET qss::lz4)
    set(QSS_LZ4_MINGW_DIR "${PROJECT_BINARY_DIR}/lz4-mingw" CACHE PATH
        "Where scripts/build-lz4-mingw puts the MinGW build of LZ4")
    if(NOT EXISTS "${QSS_LZ4_MINGW_DIR}/lib/liblz4.a")
      message(STATUS "Building LZ4 for Windows in ${QSS_LZ4_MINGW_DIR}")
      execute_process(
        COMMAND ${PROJECT_SOURCE_DIR}/scripts/build-lz4-mingw "${QSS_LZ4_MINGW_DIR}"
        RESULT_VARIABLE lz4_result)
      if(NOT lz4_result EQUAL 0)
        message(FATAL_ERROR "scripts/build-lz4-mingw failed (${lz4_result})")
      endif()
    endif()
    add_library(qss::lz4 STATIC IMPORTED GLOBAL)
    set_target_properties(qss::lz4 PROPERTIES
      IMPORTED_LOCATION "${QSS_LZ4_MINGW_DIR}/lib/liblz4.a"
      INTERFACE_INCLUDE_DIRECTORIES "${QSS_LZ4_MINGW_DIR}/include")
  endif()

  if(QSS_BUILD_TESTS AND NOT TARGET qss_testing)
    set(QSS_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for the cross build")
    if(NOT EXISTS "${QSS_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt")
      message(FATAL_ERROR "GoogleTest sources not found in ${QSS_GOOGLETEST_SOURCE_DIR} (install libgtest-dev)")
    endif()
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    # GoogleTest is built with its own settings, not with our warning flags.
    get_directory_property(qss_saved_compile_options COMPILE_OPTIONS)
    set_directory_properties(PROPERTIES COMPILE_OPTIONS "")
    add_subdirectory("${QSS_GOOGLETEST_SOURCE_DIR}" "${PROJECT_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)
    set_directory_properties(PROPERTIES COMPILE_OPTIONS "${qss_saved_compile_options}")
    foreach(gtest_library gtest gtest_main gmock gmock_main)
      if(NOT TARGET GTest::${gtest_library})
        add_library(GTest::${gtest_library} ALIAS ${gtest_library})
      endif()
    endforeach()
    add_library(qss_testing INTERFACE)
    target_link_libraries(qss_testing INTERFACE GTest::gtest GTest::gtest_main)
  endif()
endif()

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
