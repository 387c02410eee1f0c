# OpenSSL's libcrypto (SHA-256 and MD5 through EVP) for the local rivo and the
# modules that hash: found once here, used as OpenSSL::Crypto.
#
# Static where libcrypto.a exists (Debian's libssl-dev ships it), so every
# binary of a wheel carries its own copy: no libcrypto.so to graft beside the
# modules, nothing for the host's own libcrypto (Python's _ssl and _hashlib
# load one into the same process) to clash with or interpose, and the bundled
# rivo runs on its own wherever it is copied. Modules link with
# --exclude-libs,ALL (see tavro_module), so none of its symbols is exported.
# Where only the shared library exists (a source build on a distribution
# without the static one), or with -DTAVRO_STATIC_CRYPTO=OFF (a distribution's
# own package), the shared one is linked: right for a local build; a wheel
# built so is refused by the check of its repaired form
# (tests/test_packaging.py), which allows no libcrypto among its NEEDED.
include_guard(GLOBAL)

option(TAVRO_STATIC_CRYPTO "Prefer OpenSSL's static libcrypto (each binary carries its own copy)" ON)

if(TAVRO_STATIC_CRYPTO)
  set(OPENSSL_USE_STATIC_LIBS TRUE)
  # A shared library remembered by an earlier configure is looked up again.
  if(OPENSSL_CRYPTO_LIBRARY AND NOT OPENSSL_CRYPTO_LIBRARY MATCHES "\\.a$")
    unset(OPENSSL_CRYPTO_LIBRARY CACHE)
    unset(OPENSSL_SSL_LIBRARY CACHE)
  endif()
  find_package(OpenSSL QUIET COMPONENTS Crypto)
  if(NOT TARGET OpenSSL::Crypto)
    unset(OPENSSL_USE_STATIC_LIBS)
    unset(OPENSSL_CRYPTO_LIBRARY CACHE)
    unset(OPENSSL_SSL_LIBRARY CACHE)
  endif()
endif()
if(NOT TARGET OpenSSL::Crypto)
  find_package(OpenSSL QUIET COMPONENTS Crypto)
  if(TARGET OpenSSL::Crypto AND TAVRO_STATIC_CRYPTO)
    message(STATUS "libcrypto: no static library, linking ${OPENSSL_CRYPTO_LIBRARY}")
  endif()
endif()
if(NOT TARGET OpenSSL::Crypto)
  message(FATAL_ERROR "OpenSSL libcrypto not found (Debian package libssl-dev); "
                      "scripts/setup.sh installs it")
endif()
