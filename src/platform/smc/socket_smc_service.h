#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "common/unique_fd.h"
#include "platform/smc/smc_user_client.h"

namespace smcd::platform {

// A user client connected to the stand-in's socket. After the first
// transport failure (the service went away, a short frame, no answer in
// time) the connection is never used again: every later call fails, as a
// user client of a vanished kernel service would.
class SocketSMCUserClient final : public SMCUserClient {
public:
    explicit SocketSMCUserClient(UniqueFd socket) : socket_(std::move(socket)) {}
    IOReturn callStructMethod(std::uint32_t selector, const SMCStructBytes& input,
                              SMCStructBytes& output) override;

private:
    UniqueFd socket_;
};

// The AppleSMC service as a socket path; opening connects to it.
class SocketSMCService final : public SMCService {
public:
    explicit SocketSMCService(std::string path) : path_(std::move(path)) {}
    std::unique_ptr<SMCUserClient> open() override;

private:
    std::string path_;
};

// The service at `path` when a socket exists there, nullptr otherwise.
std::unique_ptr<SMCService> matchingSocketService(const std::string& path);

// How long a struct call waits for the stand-in's answer before the
// connection is given up; the real driver answers in microseconds.
inline constexpr std::chrono::seconds kSMCAnswerTimeout{10};

}  // namespace smcd::platform
