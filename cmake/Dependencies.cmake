# Every dependency comes from a Debian package; see scripts/packages.
find_package(PkgConfig REQUIRED)
pkg_check_modules(UV REQUIRED IMPORTED_TARGET libuv)
pkg_check_modules(JSONCPP REQUIRED IMPORTED_TARGET jsoncpp)
pkg_check_modules(LWIP REQUIRED IMPORTED_TARGET lwip)
pkg_check_modules(UDEV REQUIRED IMPORTED_TARGET libudev)
find_package(ZLIB REQUIRED)
find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
find_package(Threads REQUIRED)
find_package(GTest REQUIRED)

find_path(INIPARSER_INCLUDE_DIR iniparser.h PATH_SUFFIXES iniparser REQUIRED)
# The static archive is not position independent: link the shared object.
find_library(INIPARSER_LIBRARY NAMES libiniparser.so iniparser REQUIRED)
add_library(dep_iniparser INTERFACE)
target_include_directories(dep_iniparser SYSTEM INTERFACE ${INIPARSER_INCLUDE_DIR})
target_link_libraries(dep_iniparser INTERFACE ${INIPARSER_LIBRARY})

# The Android libraries ship without pkg-config files, in a private directory.
set(ANDROID_LIB_DIR /usr/lib/x86_64-linux-gnu/android CACHE PATH "Android libraries")
add_library(dep_android INTERFACE)
target_include_directories(dep_android SYSTEM INTERFACE /usr/include/android)
foreach(lib ziparchive sparse base utils log)
  find_library(ANDROID_${lib}_LIBRARY NAMES lib${lib}.so PATHS ${ANDROID_LIB_DIR} NO_DEFAULT_PATH REQUIRED)
  target_link_libraries(dep_android INTERFACE ${ANDROID_${lib}_LIBRARY})
endforeach()
set(CMAKE_BUILD_RPATH ${ANDROID_LIB_DIR})
set(CMAKE_INSTALL_RPATH ${ANDROID_LIB_DIR})

# LZMA SDK sources as Debian ships them; compiled into the engine, single-threaded.
set(LZMA_SDK_DIR /usr/include/lzma)
if(NOT EXISTS ${LZMA_SDK_DIR}/LzmaEnc.c)
  message(FATAL_ERROR "lzma-dev is missing (${LZMA_SDK_DIR}/LzmaEnc.c)")
endif()
add_library(dep_lzma_sdk OBJECT ${LZMA_SDK_DIR}/LzmaEnc.c ${LZMA_SDK_DIR}/LzmaDec.c ${LZMA_SDK_DIR}/LzFind.c)
target_compile_definitions(dep_lzma_sdk PRIVATE _7ZIP_ST)
target_compile_options(dep_lzma_sdk PRIVATE -w)
set_target_properties(dep_lzma_sdk PROPERTIES C_VISIBILITY_PRESET hidden POSITION_INDEPENDENT_CODE ON)
