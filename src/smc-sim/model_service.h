#pragma once

// The model behind the platform's user-client interface, so that the
// daemon's SMC layer can run against it in-process.

#include <atomic>
#include <memory>

#include "platform/smc/smc_user_client.h"
#include "smc-sim/machine.h"

namespace smcd::smcsim {

// Counts of what was done to a ModelService and its user clients.
struct ServiceCounters {
    std::atomic<int> opens{0};
    std::atomic<int> closes{0};
    std::atomic<int> releases{0};
};

class ModelUserClient final : public platform::SMCUserClient {
public:
    ModelUserClient(Machine& machine, ServiceCounters* counters) : machine_(machine), counters_(counters) {}
    ~ModelUserClient() override;
    platform::IOReturn callStructMethod(std::uint32_t selector, const platform::SMCStructBytes& input,
                                        platform::SMCStructBytes& output) override;
    // From now on every call fails, as when the service has gone away.
    void disconnect() { connected_ = false; }

private:
    Machine& machine_;
    ServiceCounters* counters_;
    std::atomic<bool> connected_{true};
};

class ModelService final : public platform::SMCService {
public:
    // `opens` false plays a service whose user client refuses to open.
    ModelService(Machine& machine, ServiceCounters* counters = nullptr, bool opens = true)
        : machine_(machine), counters_(counters), opens_(opens) {}
    ~ModelService() override;
    std::unique_ptr<platform::SMCUserClient> open() override;

private:
    Machine& machine_;
    ServiceCounters* counters_;
    bool opens_;
};

}  // namespace smcd::smcsim
