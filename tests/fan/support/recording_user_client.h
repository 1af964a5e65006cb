#pragma once

#include <memory>
#include <vector>

#include "platform/smc/smc_user_client.h"

namespace smcd::test {

// Passes every struct call on and keeps the exact bytes that were sent.
class RecordingUserClient final : public platform::SMCUserClient {
public:
    RecordingUserClient(std::unique_ptr<platform::SMCUserClient> inner, std::vector<platform::SMCStructBytes>& sent)
        : inner_(std::move(inner)), sent_(sent) {}
    platform::IOReturn callStructMethod(std::uint32_t selector, const platform::SMCStructBytes& input,
                                        platform::SMCStructBytes& output) override {
        sent_.push_back(input);
        return inner_->callStructMethod(selector, input, output);
    }

private:
    std::unique_ptr<platform::SMCUserClient> inner_;
    std::vector<platform::SMCStructBytes>& sent_;
};

}  // namespace smcd::test
