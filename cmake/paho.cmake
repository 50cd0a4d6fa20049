# Finds the Paho MQTT C synchronous library in its TLS build (paho-mqtt3cs, which
# speaks ssl://, mqtts:// and wss:// as well as tcp:// and ws://) and sets
# PAHO_TARGET. Some distributions ship a pkg-config file for it, others (Debian) only
# the library's CMake package, whose target names OpenSSL's as dependencies.
# The library asks OpenSSL for its newest protocol and leaves the oldest one allowed to
# OpenSSL at security level 1: from OpenSSL 3.0 on that refuses TLS 1.0 and 1.1 (their
# handshakes sign with SHA-1 or MD5), so TLS 1.2 is the floor; 1.1.1 would allow them.
find_package(OpenSSL 3.0 REQUIRED)
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(PAHO IMPORTED_TARGET paho-mqtt3cs)
endif()
if(PAHO_FOUND)
  set(PAHO_TARGET PkgConfig::PAHO OpenSSL::SSL OpenSSL::Crypto)
else()
  find_package(eclipse-paho-mqtt-c CONFIG REQUIRED)
  set(PAHO_TARGET eclipse-paho-mqtt-c::paho-mqtt3cs OpenSSL::SSL OpenSSL::Crypto)
endif()
