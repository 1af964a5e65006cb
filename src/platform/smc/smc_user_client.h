#pragma once

// The shape of IOKit's AppleSMC conversation, reduced to what the daemon uses:
// match the service, open a user client on it, make struct calls, close.
// On macOS these map onto IOServiceGetMatchingService, IOServiceOpen,
// IOConnectCallStructMethod and IOServiceClose; on Linux a stand-in serves
// them over a socket (socket_smc_service.h).

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace smcd::platform {

inline constexpr std::size_t kSMCStructSize = 80;
using SMCStructBytes = std::array<std::uint8_t, kSMCStructSize>;

// The AppleSMC user client's struct method for key commands.
inline constexpr std::uint32_t kSMCStructSelector = 2;

// Return codes of a struct call, with IOKit's kern_return_t values.
enum class IOReturn : std::uint32_t {
    success = 0,
    error = 0xE00002BC,
    badArgument = 0xE00002C2,
    notOpen = 0xE00002CD,
};

// One open user client. Destroying it closes the connection.
class SMCUserClient {
public:
    virtual ~SMCUserClient() = default;
    // Sends `input` to the struct method `selector`; `output` receives the
    // answer only when the result is IOReturn::success.
    virtual IOReturn callStructMethod(std::uint32_t selector, const SMCStructBytes& input,
                                      SMCStructBytes& output) = 0;
};

// A matched AppleSMC service. Destroying it releases the service object.
class SMCService {
public:
    virtual ~SMCService() = default;
    // Opens a user client of connection type 0; nullptr when the open fails.
    virtual std::unique_ptr<SMCUserClient> open() = 0;
};

// The first service matching "AppleSMC", or nullptr when the machine has none.
std::unique_ptr<SMCService> matchingAppleSMCService();

// What tells the controller matchingAppleSMCService finds apart from any
// other the system could show, for as long as it stays: processes that guard
// one controller's fans never wait on another's. Empty when there is none.
std::string appleSMCIdentity();

}  // namespace smcd::platform
