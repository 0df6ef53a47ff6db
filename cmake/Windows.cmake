# Windows (MinGW-w64 cross build, see cmake/mingw-w64.cmake): GoogleTest from the Debian sources,
# FLTK from its release tarball, Winsock for the network layer.
# Windows 10 API level; windows.h without its rarely used parts and without min/max macros.
add_compile_definitions(_WIN32_WINNT=0x0A00 WIN32_LEAN_AND_MEAN NOMINMAX)

set(KIVO_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources built for Windows")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${KIVO_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
if(NOT TARGET GTest::gtest_main)
  add_library(GTest::gtest ALIAS gtest)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/FltkMinGW.cmake)
