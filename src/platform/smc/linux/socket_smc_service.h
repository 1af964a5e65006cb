#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "common/limits.h"
#include "common/unique_fd.h"
#include "platform/smc/smc_user_client.h"

namespace smcd::platform {

using limits::kSMCAnswerTimeout;

// A user client connected to the stand-in's socket. A call the service does
// not answer in time fails alone: that connection is given up (its stream
// can no longer line requests up with answers) and the next call connects
// again. A connection the service closed or reset (it dropped its clients, or
// restarted) is connected again at once and the call sent once more; while
// nobody listens at the path every call fails, and the first call after the
// service is back finds it.
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
