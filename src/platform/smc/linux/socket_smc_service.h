#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "common/unique_fd.h"
#include "platform/smc/smc_user_client.h"

namespace smcd::platform {

// How long a struct call waits for the stand-in's answer before the
// connection is given up; the real driver answers in microseconds.
inline constexpr std::chrono::milliseconds kSMCAnswerTimeout{10'000};

// A user client connected to the stand-in's socket. A call the service does
// not answer in time fails alone: that connection is given up (its stream
// can no longer line requests up with answers) and the next call connects
// again. Any other transport failure (the service went away, a short frame)
// ends the client for good, as a user client of a vanished kernel service.
class SocketSMCUserClient final : public SMCUserClient {
public:
    SocketSMCUserClient(UniqueFd socket, std::string path, std::chrono::milliseconds answerTimeout)
        : socket_(std::move(socket)), path_(std::move(path)), answerTimeout_(answerTimeout) {}
    IOReturn callStructMethod(std::uint32_t selector, const SMCStructBytes& input,
                              SMCStructBytes& output) override;

private:
    UniqueFd socket_;
    std::string path_;
    std::chrono::milliseconds answerTimeout_;
    bool reconnectAllowed_ = false;  // the last connection was given up after a stall
};

// The AppleSMC service as a socket path; opening connects to it.
class SocketSMCService final : public SMCService {
public:
    explicit SocketSMCService(std::string path, std::chrono::milliseconds answerTimeout = kSMCAnswerTimeout)
        : path_(std::move(path)), answerTimeout_(answerTimeout) {}
    std::unique_ptr<SMCUserClient> open() override;

private:
    std::string path_;
    std::chrono::milliseconds answerTimeout_;
};

// The service at `path` when a socket exists there, nullptr otherwise.
std::unique_ptr<SMCService> matchingSocketService(const std::string& path,
                                                  std::chrono::milliseconds answerTimeout = kSMCAnswerTimeout);

}  // namespace smcd::platform
