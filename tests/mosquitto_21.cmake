# Mosquitto 2.1.2 from the copy in third_party/ (no network), for the
# end-to-end tests on the newer broker: the target mosquitto_21, and
# MOSQUITTO_21, the path of the broker it builds. Never sanitized: a sanitized
# plug-in gets the runtimes preloaded, as with Debian's broker. Included by
# tests/CMakeLists.txt and by tests/mosquitto_21/, which scripts/test builds
# once for all its build trees.
include(ExternalProject)
ExternalProject_Add(mosquitto_21
  URL ${CMAKE_CURRENT_LIST_DIR}/../third_party/mosquitto-2.1.2-broker-src.tar.gz
  URL_HASH SHA256=adb6bcc1c538d79c9f455a207efc9a75c70ff208702c6eaa2374b7b9ba3e87d3
  DOWNLOAD_EXTRACT_TIMESTAMP ON
  CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DWITH_CLIENTS=OFF -DWITH_APPS=OFF -DWITH_PLUGINS=OFF
    -DWITH_DOCS=OFF -DWITH_TESTS=OFF -DWITH_WEBSOCKETS=OFF -DWITH_HTTP_API=OFF -DWITH_LIB_CPP=OFF
    -DWITH_CTRL_SHELL=OFF -DWITH_LTO=OFF
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target mosquitto -j2
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS <BINARY_DIR>/src/mosquitto
  LOG_CONFIGURE ON LOG_BUILD ON LOG_OUTPUT_ON_FAILURE ON)
ExternalProject_Get_Property(mosquitto_21 BINARY_DIR)
set(MOSQUITTO_21 ${BINARY_DIR}/src/mosquitto)
