# FLTK 1.3.8 for the Windows build: built once per build folder from the release source tarball
# (hash checked before it is unpacked) as static libraries with its own bundled jpeg/png/zlib.
# Defines the imported target kivo::fltk with the libraries and the Windows system libraries they need.
include(ExternalProject)

# The tarball sits in shared/third_party beside the clone (or beside the folder of worktrees), or,
# for a clone of a local working copy made elsewhere, beside that working copy.
set(_fltk_places ${CMAKE_SOURCE_DIR}/../shared/third_party ${CMAKE_SOURCE_DIR}/../../shared/third_party)
execute_process(COMMAND git -C ${CMAKE_SOURCE_DIR} config --get remote.origin.url
  OUTPUT_VARIABLE _origin OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(_origin AND IS_DIRECTORY "${_origin}")
  list(APPEND _fltk_places ${_origin}/../shared/third_party)
endif()
find_file(KIVO_FLTK_TARBALL fltk-1.3.8-source.tar.gz
  PATHS ${_fltk_places}
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH
  DOC "FLTK 1.3.8 source tarball for the Windows build")
set(KIVO_FLTK_SHA256 e30db0c7670ca4852d33cb5ee6690f7e975aaab4c1b6a03e2222eec7155efb13)
if(NOT EXISTS "${KIVO_FLTK_TARBALL}")
  message(FATAL_ERROR "FLTK source tarball not found: ${KIVO_FLTK_TARBALL} (set KIVO_FLTK_TARBALL)")
endif()

set(_fltk_prefix ${CMAKE_BINARY_DIR}/fltk)
set(_fltk_install ${_fltk_prefix}/install)
set(_fltk_libs fltk_images fltk_png fltk_jpeg fltk_z fltk)
set(_fltk_byproducts)
foreach(l ${_fltk_libs})
  list(APPEND _fltk_byproducts ${_fltk_install}/lib/lib${l}.a)
endforeach()

set(_fltk_launchers)
if(CMAKE_CXX_COMPILER_LAUNCHER)
  list(APPEND _fltk_launchers -DCMAKE_C_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER}
                              -DCMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER})
endif()

ExternalProject_Add(fltk_mingw
  URL "${KIVO_FLTK_TARBALL}"
  URL_HASH SHA256=${KIVO_FLTK_SHA256}
  DOWNLOAD_EXTRACT_TIMESTAMP ON
  PREFIX ${_fltk_prefix}
  INSTALL_DIR ${_fltk_install}
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
    -DCMAKE_INSTALL_PREFIX=<INSTALL_DIR>
    -DCMAKE_BUILD_TYPE=Release
    ${_fltk_launchers}
    -DFLTK_BUILD_TEST=OFF
    -DFLTK_BUILD_EXAMPLES=OFF
    -DOPTION_BUILD_SHARED_LIBS=OFF
    -DOPTION_USE_GL=OFF
    -DOPTION_USE_SYSTEM_ZLIB=OFF
    -DOPTION_USE_SYSTEM_LIBJPEG=OFF
    -DOPTION_USE_SYSTEM_LIBPNG=OFF
    -DOPTION_BUILD_HTML_DOCUMENTATION=OFF
    -DOPTION_BUILD_PDF_DOCUMENTATION=OFF
    -DOPTION_CAIRO=OFF
  BUILD_BYPRODUCTS ${_fltk_byproducts}
  LOG_CONFIGURE ON
  LOG_BUILD ON
  LOG_INSTALL ON
  LOG_OUTPUT_ON_FAILURE ON
)

# The include folder must exist at configure time for the imported target.
file(MAKE_DIRECTORY ${_fltk_install}/include)
add_library(kivo_fltk INTERFACE)
add_dependencies(kivo_fltk fltk_mingw)
target_include_directories(kivo_fltk SYSTEM INTERFACE ${_fltk_install}/include)
# FLTK 1.3's headers tell Windows by the macro WIN32, which a strict C++ mode (no GNU extensions)
# leaves undefined.
target_compile_definitions(kivo_fltk INTERFACE WIN32)
target_link_libraries(kivo_fltk INTERFACE ${_fltk_byproducts}
  ole32 uuid comctl32 gdi32 comdlg32 ws2_32 winspool)
add_library(kivo::fltk ALIAS kivo_fltk)
