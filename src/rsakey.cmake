# Embeds the RSA public key that verifies the product inis: the DER RSAPublicKey named by
# VL_RSA_PUBLIC_KEY_FILE, at the start of a zero-filled 2048-byte block.
set(_vl_dev_key "${PROJECT_SOURCE_DIR}/keys/development_rsa_public.der")
if(NOT EXISTS "${VL_RSA_PUBLIC_KEY_FILE}")
  message(FATAL_ERROR "VL_RSA_PUBLIC_KEY_FILE: no such file: ${VL_RSA_PUBLIC_KEY_FILE}")
endif()
file(READ "${VL_RSA_PUBLIC_KEY_FILE}" _vl_key_hex HEX)
string(LENGTH "${_vl_key_hex}" _vl_key_digits)
math(EXPR _vl_key_size "${_vl_key_digits} / 2")
if(_vl_key_size EQUAL 0 OR _vl_key_size GREATER 2048)
  message(FATAL_ERROR "VL_RSA_PUBLIC_KEY_FILE must hold a DER RSAPublicKey of 1 to 2048 bytes, "
                      "${VL_RSA_PUBLIC_KEY_FILE} has ${_vl_key_size}")
endif()
file(SHA256 "${VL_RSA_PUBLIC_KEY_FILE}" _vl_key_sum)
file(SHA256 "${_vl_dev_key}" _vl_dev_key_sum)
if(_vl_key_sum STREQUAL _vl_dev_key_sum)
  if(NOT VL_ALLOW_DEVELOPMENT_KEY)
    message(FATAL_ERROR "This build would embed the development RSA key, whose private half is "
                        "public in the repository: anybody could sign product inis it accepts. Set "
                        "VL_RSA_PUBLIC_KEY_FILE to your own key (see README.md), or "
                        "-DVL_ALLOW_DEVELOPMENT_KEY=ON for a build that only runs the tests or the demo.")
  endif()
  message(WARNING "This build embeds the development RSA key, whose private half is public in "
                  "the repository: anybody can sign product inis it accepts. It must never be shipped.")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," VL_RSA_KEY_BYTES "${_vl_key_hex}")
configure_file(builtinrsakey.cpp.in "${CMAKE_CURRENT_BINARY_DIR}/builtinrsakey.cpp" @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${VL_RSA_PUBLIC_KEY_FILE}")

find_package(PkgConfig REQUIRED)
pkg_check_modules(TOMCRYPT REQUIRED IMPORTED_TARGET libtomcrypt libtommath)
target_sources(updatercore PRIVATE "${CMAKE_CURRENT_BINARY_DIR}/builtinrsakey.cpp")
# Debian's libtomcrypt is built against libtommath, so its math descriptor is ltm_desc.
target_compile_definitions(updatercore PUBLIC LTM_DESC)
target_link_libraries(updatercore PUBLIC PkgConfig::TOMCRYPT)
