#include "smc-sim/model_service.h"

namespace smcd::smcsim {

ModelUserClient::~ModelUserClient() {
    if (counters_) ++counters_->closes;
}

platform::IOReturn ModelUserClient::callStructMethod(std::uint32_t selector, const platform::SMCStructBytes& input,
                                                     platform::SMCStructBytes& output) {
    if (!connected_) return platform::IOReturn::notOpen;
    if (selector != platform::kSMCStructSelector) return platform::IOReturn::badArgument;
    output = machine_.handle(input);
    return platform::IOReturn::success;
}

ModelService::~ModelService() {
    if (counters_) ++counters_->releases;
}

std::unique_ptr<platform::SMCUserClient> ModelService::open() {
    if (!opens_) return nullptr;
    if (counters_) ++counters_->opens;
    return std::make_unique<ModelUserClient>(machine_, counters_);
}

}  // namespace smcd::smcsim
