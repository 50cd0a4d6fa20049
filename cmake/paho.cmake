# Finds the Paho MQTT C synchronous library and sets PAHO_TARGET. Some distributions
# ship a pkg-config file for it, others (Debian) only the library's CMake package.
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(PAHO IMPORTED_TARGET paho-mqtt3c)
endif()
if(PAHO_FOUND)
  set(PAHO_TARGET PkgConfig::PAHO)
else()
  find_package(eclipse-paho-mqtt-c CONFIG REQUIRED)
  set(PAHO_TARGET eclipse-paho-mqtt-c::paho-mqtt3c)
endif()
