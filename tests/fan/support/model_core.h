#pragma once

#include <bit>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fan/smc_fan_core.h"
#include "smc-sim/machine.h"
#include "smc-sim/model_service.h"
#include "smc-sim/profiles.h"
#include "support/fake_clock.h"
#include "support/failure_of.h"

namespace smcd::test {

// A float as the four little-endian bytes of a "flt " key.
inline std::vector<std::uint8_t> floatBytes(float value) {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    return {static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
            static_cast<std::uint8_t>(bits >> 16), static_cast<std::uint8_t>(bits >> 24)};
}

// Passes every struct call on and keeps the exact bytes that were sent.
struct Recorder final : platform::SMCUserClient {
    Recorder(std::unique_ptr<platform::SMCUserClient> inner, std::vector<platform::SMCStructBytes>& sent)
        : inner(std::move(inner)), sent(sent) {}
    platform::IOReturn callStructMethod(std::uint32_t selector, const platform::SMCStructBytes& input,
                                        platform::SMCStructBytes& output) override {
        sent.push_back(input);
        return inner->callStructMethod(selector, input, output);
    }
    std::unique_ptr<platform::SMCUserClient> inner;
    std::vector<platform::SMCStructBytes>& sent;
};

// A controller model of one profile and a core talking to it, sharing one
// hand-driven clock, with every block the core sent. Fan dynamics are off so
// that speeds stay as set.
struct ModelCore {
    explicit ModelCore(std::string_view profileName = "apple-silicon-laptop")
        : machine(*smcsim::findProfile(profileName), clock) {
        machine.setDynamics(false);
        auto modelClient = std::make_unique<smcsim::ModelUserClient>(machine, nullptr);
        client = modelClient.get();
        core = std::make_unique<SMCFanCore>(std::make_unique<Recorder>(std::move(modelClient), sent), clock);
    }

    // Writes the model saw since the journal was last cleared, as "KEY=hex".
    std::vector<std::string> writes() const {
        std::vector<std::string> list;
        for (const auto& call : machine.journal()) {
            if (call.command != static_cast<std::uint8_t>(smcsim::SMCCommandCode::writeBytes)) continue;
            list.push_back(call.key + "=");
            for (const auto byte : call.written) list.back() += {"0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 0xF]};
        }
        return list;
    }
    std::uint8_t byte(std::string_view key) { return machine.read(key)->bytes.at(0); }

    FakeClock clock;
    smcsim::Machine machine;
    std::vector<platform::SMCStructBytes> sent;
    smcsim::ModelUserClient* client = nullptr;
    std::unique_ptr<SMCFanCore> core;
};

}  // namespace smcd::test
