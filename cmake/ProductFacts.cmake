# The product's facts, each written once: CMake reads them here (the project
# version, the companion app's code identity for the clients it builds, the
# service's socket in the systemd unit and scripts/run.sh) and C++ reads them
# from the header generated below (smcd/product_facts.h).
set(SMCD_SERVICE_NAME "com.vornik.smcd")
# What pingWithReply: answers.
set(SMCD_DAEMON_VERSION 14)
# The companion app that the daemon's peer requirement admits.
set(SMCD_APP_IDENTIFIER "com.vornik.app")
set(SMCD_APP_TEAM "Q4ZK2M7WXR")
set(SMCD_APP_VERSION "1.0")
# The Linux stand-in for the Mach service (platform/ipc/linux/endpoint.cc derives the same).
set(SMCD_SOCKET_PATH "/var/run/${SMCD_SERVICE_NAME}.socket")

# Called after project(): writes the C++ view of the facts.
function(smcd_generate_product_facts)
  file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/generated/smcd/product_facts.h @ONLY CONTENT [==[
#pragma once
// Generated from cmake/ProductFacts.cmake; do not edit.
#include <string_view>
namespace smcd::product_facts {
inline constexpr std::string_view kServiceName = "@SMCD_SERVICE_NAME@";
inline constexpr std::string_view kDaemonVersion = "@SMCD_DAEMON_VERSION@";
inline constexpr std::string_view kAppIdentifier = "@SMCD_APP_IDENTIFIER@";
inline constexpr std::string_view kAppTeam = "@SMCD_APP_TEAM@";
inline constexpr std::string_view kAppVersion = "@SMCD_APP_VERSION@";
}  // namespace smcd::product_facts
]==])
  # Only the targets that link smcd_product_facts see the facts.
  add_library(smcd_product_facts INTERFACE)
  target_include_directories(smcd_product_facts INTERFACE ${CMAKE_BINARY_DIR}/generated)
  # For the scripts that run the built binaries (scripts/run.sh).
  file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/bin/product_facts.env @ONLY CONTENT [==[
# Generated from cmake/ProductFacts.cmake; do not edit.
SMCD_SERVICE_NAME='@SMCD_SERVICE_NAME@'
SMCD_SOCKET_PATH='@SMCD_SOCKET_PATH@'
]==])
endfunction()
