# Test programs of the Windows build run under Wine (CMAKE_CROSSCOMPILING_EMULATOR) in a throw-away
# Wine prefix inside the build folder. Each program runs as one CTest test: listing the tests of
# every program at build time would start Wine once per program and build.
set(KIVO_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix the Windows test programs run in")
set(KIVO_WINE_ENVIRONMENT
  "WINEPREFIX=${KIVO_WINEPREFIX};WINEDEBUG=-all;WINEDLLOVERRIDES=mscoree,mshtml=")

function(gtest_discover_tests target)
  add_test(NAME ${target} COMMAND ${target})
  set_tests_properties(${target} PROPERTIES ENVIRONMENT "${KIVO_WINE_ENVIRONMENT}" TIMEOUT 900)
endfunction()
