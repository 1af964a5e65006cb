#include "daemon/vornik_fan_control.h"

#include "daemon/vornik_fan_control_interface.h"

namespace smcd {
namespace {

using platform::ipc::Data;
using platform::ipc::ReplyHandler;
using platform::ipc::WireValue;

// Method numbers in declaration order (see vornikFanControlInterface()).
enum Method : std::size_t {
    capabilities,
    setFan,
    resetAllToAuto,
    ping,
    runMaintenance,
    dumpBackgroundItems,
    terminateForUpdate,
    removeAppBundles,
    removeSupportPaths,
    setLaunchdItem,
    measurePrivilegedPaths,
    deleteLocalSnapshots,
    removeSystemCachePaths,
    removeSystemLogPaths,
    removeGPUShaderCachePaths,
    removeRosettaCachePaths,
    systemNetworkConnections,
};

class Export final : public platform::ipc::ExportedObject {
public:
    explicit Export(std::shared_ptr<VornikFanControl> service) : service_(std::move(service)) {}

    void invoke(std::size_t method, std::vector<WireValue> a, const ReplyHandler& reply) override {
        // The connection has checked every argument against the method's
        // types, so each std::get below names the type that is there.
        const DataReply data = [&](std::string bytes) { reply({Data{std::move(bytes)}}); };
        const TextReply text = [&](std::string value) { reply({std::move(value)}); };
        const StatusReply status = [&](bool success, std::optional<std::string> message) {
            reply({success, message ? WireValue(std::move(*message)) : WireValue(nullptr)});
        };
        auto paths = [&](std::size_t i) { return std::move(std::get<Paths>(a[i])); };
        auto integer = [&](std::size_t i) { return std::get<std::int64_t>(a[i]); };
        auto boolean = [&](std::size_t i) { return std::get<bool>(a[i]); };
        auto string = [&](std::size_t i) { return std::move(std::get<std::string>(a[i])); };
        VornikFanControl& s = *service_;

        switch (static_cast<Method>(method)) {
            case capabilities: return s.capabilitiesWithReply(data);
            case setFan: return s.setFanWithIndex(integer(0), boolean(1), integer(2), status);
            case resetAllToAuto: return s.resetAllToAutoWithReply(status);
            case ping: return s.pingWithReply(text);
            case runMaintenance: return s.runMaintenanceWithTaskIDs(paths(0), data);
            case dumpBackgroundItems: return s.dumpBackgroundItemsWithReply(text);
            case terminateForUpdate: return s.terminateForUpdateWithReply([&](bool value) { reply({value}); });
            case removeAppBundles: return s.removeAppBundlesWithPaths(paths(0), boolean(1), data);
            case removeSupportPaths: return s.removeSupportPathsWithPaths(paths(0), boolean(1), data);
            case setLaunchdItem: return s.setLaunchdItemWithLabel(string(0), string(1), boolean(2), status);
            case measurePrivilegedPaths: return s.measurePrivilegedPathsWithPaths(paths(0), data);
            case deleteLocalSnapshots:
                return s.deleteLocalSnapshotsWithOlderThanDays(integer(0), string(1), [&](std::int64_t count, std::string message) {
                    reply({count, std::move(message)});
                });
            case removeSystemCachePaths: return s.removeSystemCachePathsWithPaths(paths(0), data);
            case removeSystemLogPaths: return s.removeSystemLogPathsWithPaths(paths(0), data);
            case removeGPUShaderCachePaths: return s.removeGPUShaderCachePathsWithPaths(paths(0), data);
            case removeRosettaCachePaths: return s.removeRosettaCachePathsWithPaths(paths(0), data);
            case systemNetworkConnections: return s.systemNetworkConnectionsWithReply(text);
        }
    }

private:
    std::shared_ptr<VornikFanControl> service_;
};

}  // namespace

std::shared_ptr<platform::ipc::ExportedObject> exportedObject(std::shared_ptr<VornikFanControl> service) {
    return std::make_shared<Export>(std::move(service));
}

}  // namespace smcd
