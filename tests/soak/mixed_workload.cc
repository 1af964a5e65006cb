#include "mixed_workload.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>

#include <nlohmann/json.hpp>

#include "client/client.h"
#include "protocol/vornik_fan_control_protocol.h"

namespace smcd::soak {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::string_view kItemPrefix = "soak-";
constexpr std::string_view kRefusedPath = "/private/etc/passwd";
const std::string kShaderFolder = "/var/folders/so/ak/C/com.apple.metal";
const std::string kJobPlist = "/Library/LaunchDaemons/com.example.soak.plist";

// Where each removal family's items are made, directly below an allowed root.
std::string folderFor(Method method) {
    switch (method) {
        case Method::removeAppBundles: return "/Applications";
        case Method::removeSupportPaths: return "/Library/Application Support";
        case Method::removeSystemCachePaths: return "/Library/Caches";
        case Method::removeSystemLogPaths: return "/var/log";
        case Method::removeGPUShaderCachePaths: return kShaderFolder;
        default: return "/Library/Apple/usr/share/rosetta/rosetta_update_bundle";
    }
}

constexpr std::array<Method, 6> kRemovalMethods{Method::removeAppBundles,      Method::removeSupportPaths,
                                                Method::removeSystemCachePaths,     Method::removeSystemLogPaths,
                                                Method::removeGPUShaderCachePaths, Method::removeRosettaCachePaths};

// How often each method comes up; the exit request never does.
constexpr std::array<unsigned, kMethodCount> kWeights{8, 5, 2, 12, 3, 2, 0, 4, 4, 4, 6, 3, 6, 4, 4, 4, 1};

bool exists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

std::optional<json> recordsOf(const std::string& data) {
    json parsed = json::parse(data, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_array()) return std::nullopt;
    for (const auto& record : parsed)
        if (!record.is_object()) return std::nullopt;
    return parsed;
}

bool hasKeys(const json& record, std::initializer_list<const char*> keys) {
    for (const char* key : keys)
        if (!record.contains(key)) return false;
    return true;
}

class Session {
public:
    Session(client::Client& client, const ClientPlan& plan, std::mt19937& random, Tally& tally, std::uint64_t& items)
        : client_(client), plan_(plan), random_(random), tally_(tally), items_(items) {}

    void call(Method method) {
        switch (method) {
            case Method::capabilities: return capabilities();
            case Method::setFan: return setFan();
            case Method::resetAllToAuto: return status(method, client_.resetAllToAuto(), false);
            case Method::ping: return ping();
            case Method::runMaintenance: return maintenance();
            case Method::dumpBackgroundItems: return text(method, client_.dumpBackgroundItems());
            case Method::terminateForUpdate: return;
            case Method::setLaunchdItem: return launchd();
            case Method::measurePrivilegedPaths: return measure();
            case Method::deleteLocalSnapshots: return snapshots();
            case Method::systemNetworkConnections: return text(method, client_.systemNetworkConnections());
            default: return removal(method);
        }
    }

private:
    void fail(Method method, const std::string& what) { tally_.fail(std::string(selectorOf(method)) + " " + what); }

    template <class T>
    std::optional<T> answer(Method method, const client::Result<T>& result) {
        if (!result.has_value()) {
            fail(method, "got no reply: " + result.error().reason);
            return std::nullopt;
        }
        tally_.answered(method);
        return result.value();
    }

    void ping() {
        if (const auto version = answer(Method::ping, client_.ping()); version && *version != "14")
            fail(Method::ping, "answered " + *version);
    }

    void text(Method method, const client::Result<std::string>& result) { answer(method, result); }

    void status(Method method, const client::Result<client::Status>& result, bool mustFail) {
        const auto status = answer(method, result);
        if (!status) return;
        if (status->success && status->message) fail(method, "succeeded with a message");
        if (!status->success && (!status->message || status->message->empty())) fail(method, "failed without a message");
        if (status->message == "SMC unavailable") fail(method, "lost the SMC");
        if (mustFail && status->success) fail(method, "succeeded where it cannot");
    }

    void capabilities() {
        const auto data = answer(Method::capabilities, client_.capabilities());
        if (!data) return;
        const auto records = recordsOf(*data);
        if (!records || records->size() != plan_.fans) return fail(Method::capabilities, "wrong records: " + *data);
        for (const auto& record : *records)
            if (!hasKeys(record, {"index", "minRPM", "maxRPM", "currentRPM", "controllable"}))
                return fail(Method::capabilities, "incomplete record: " + record.dump());
    }

    void setFan() {
        // Mostly sensible requests; now and then an index no fan has (always
        // refused) or a speed at the ends of the integer range.
        constexpr std::int64_t kExtremes[] = {-1, 0, 100000, INT64_MAX, INT64_MIN};
        const auto fans = static_cast<std::int64_t>(plan_.fans);
        const std::int64_t oddIndices[] = {-1, fans, fans + 1, INT64_MAX, INT64_MIN};
        const std::int64_t index = random_() % 5 == 0 ? oddIndices[random_() % std::size(oddIndices)]
                                                      : static_cast<std::int64_t>(random_() % plan_.fans);
        const bool manual = random_() % 2 == 0;
        const std::int64_t rpm = random_() % 5 == 0 ? kExtremes[random_() % std::size(kExtremes)]
                                                    : static_cast<std::int64_t>(1500 + random_() % 4000);
        status(Method::setFan, client_.setFan(index, manual, rpm), index < 0 || index >= fans);
    }

    void maintenance() {
        std::vector<std::string> ids{"soak.unknown"};
        if (random_() % 4 == 0) ids.insert(ids.begin(), "energy.1");
        const auto data = answer(Method::runMaintenance, client_.runMaintenance(ids));
        if (!data) return;
        const auto records = recordsOf(*data);
        if (!records || records->size() != ids.size()) return fail(Method::runMaintenance, "wrong records: " + *data);
        for (std::size_t i = 0; i < ids.size(); ++i) {
            const auto& record = (*records)[i];
            if (!hasKeys(record, {"id", "ok", "exit", "output"}) || record["id"] != ids[i])
                return fail(Method::runMaintenance, "bad record: " + record.dump());
        }
        const auto& unknown = records->back();
        if (unknown["ok"] != false || unknown["exit"] != -1 || unknown["output"] != "Unknown maintenance task")
            fail(Method::runMaintenance, "ran an unknown task: " + unknown.dump());
    }

    void launchd() {
        // Either refused by screening (Apple's namespace) or screened in and
        // then failing for want of launchctl in the sandbox: never a success.
        const bool apple = random_() % 2 == 0;
        status(Method::setLaunchdItem,
               client_.setLaunchdItem(apple ? "com.apple.soak" : fixture::kJobLabel, kJobPlist, random_() % 2 == 0), true);
    }

    void measure() {
        const std::vector<std::string> paths{"/Library/Caches", "/Users/ann/Documents"};
        const auto data = answer(Method::measurePrivilegedPaths, client_.measurePrivilegedPaths(paths));
        if (!data) return;
        const auto records = recordsOf(*data);
        if (!records || records->size() != 2) return fail(Method::measurePrivilegedPaths, "wrong records: " + *data);
        for (std::size_t i = 0; i < 2; ++i) {
            const auto& record = (*records)[i];
            if (!hasKeys(record, {"path", "bytes", "fileCount", "refused"}) || record["path"] != paths[i])
                return fail(Method::measurePrivilegedPaths, "bad record: " + record.dump());
        }
        // The test runs as root: another user's documents are not its to measure.
        if ((*records)[0]["refused"] != false || (*records)[1]["refused"] != true)
            fail(Method::measurePrivilegedPaths, "screened wrongly: " + *data);
    }

    void snapshots() {
        const auto count = answer(Method::deleteLocalSnapshots, client_.deleteLocalSnapshots(7, "/"));
        if (count && (count->count != 0 || count->message.empty())) fail(Method::deleteLocalSnapshots, "deleted something");
    }

    std::string makeItem(Method method) {
        std::string item = folderFor(method) + "/" + std::string(kItemPrefix) + std::to_string(plan_.seed) + "-" +
                           std::to_string(items_++);
        if (method == Method::removeAppBundles) item += ".app";
        const bool folder = method == Method::removeAppBundles || random_() % 2 == 0;
        if (folder) {
            fs::create_directories(item + "/inner");
            std::ofstream(item + "/inner/payload") << "payload";
        } else {
            std::ofstream(item) << "payload";
        }
        return item;
    }

    void removal(Method method) {
        const std::string item = makeItem(method);
        const bool mayTrash = method == Method::removeAppBundles || method == Method::removeSupportPaths;
        const bool permanent = !mayTrash || random_() % 2 == 0;
        const std::vector<std::string> paths{item, std::string(kRefusedPath)};
        client::Result<std::string> result = std::string();
        switch (method) {
            case Method::removeAppBundles: result = client_.removeAppBundles(paths, permanent); break;
            case Method::removeSupportPaths: result = client_.removeSupportPaths(paths, permanent); break;
            case Method::removeSystemCachePaths: result = client_.removeSystemCachePaths(paths); break;
            case Method::removeSystemLogPaths: result = client_.removeSystemLogPaths(paths); break;
            case Method::removeGPUShaderCachePaths: result = client_.removeGPUShaderCachePaths(paths); break;
            default: result = client_.removeRosettaCachePaths(paths); break;
        }
        const auto data = answer(method, result);
        if (!data) return;
        const auto records = recordsOf(*data);
        // Refused paths come first.
        if (!records || records->size() != 2 || (*records)[0]["path"] != kRefusedPath || (*records)[1]["path"] != item)
            return fail(method, "wrong records: " + *data);
        const auto& refused = (*records)[0];
        const auto& removed = (*records)[1];
        if (refused["removed"] != false || !refused.contains("problem")) fail(method, "removed a refused path: " + *data);
        if (removed["removed"] != true || removed.contains("problem")) fail(method, "did not remove: " + *data);
        if (exists(item)) fail(method, "reported removed but still there: " + item);
        if (!exists(std::string(kRefusedPath))) fail(method, "the refused path is gone");
    }

    client::Client& client_;
    const ClientPlan& plan_;
    std::mt19937& random_;
    Tally& tally_;
    std::uint64_t& items_;
};

Method pick(std::mt19937& random) {
    unsigned total = 0;
    for (const unsigned weight : kWeights) total += weight;
    unsigned roll = random() % total;
    for (std::size_t i = 0; i < kMethodCount; ++i) {
        if (roll < kWeights[i]) return static_cast<Method>(i);
        roll -= kWeights[i];
    }
    return Method::ping;
}

std::optional<client::Client> connect(const ClientPlan& plan, Tally& tally) {
    auto connection = client::Client::connect(plan.socketPath);
    if (!connection.has_value()) {
        tally.fail("cannot connect: " + connection.error().reason);
        return std::nullopt;
    }
    return std::move(connection.value());
}

}  // namespace

std::uint64_t Tally::totalAnswered() const {
    std::uint64_t total = 0;
    for (const auto& count : answered_) total += count.load();
    return total;
}

void Tally::fail(std::string what) {
    const std::lock_guard<std::mutex> guard(lock_);
    if (failures_.size() < 40) {
        failures_.push_back(std::move(what));
    } else {
        ++dropped_;
    }
}

std::vector<std::string> Tally::failures() const {
    const std::lock_guard<std::mutex> guard(lock_);
    std::vector<std::string> all = failures_;
    if (dropped_ > 0) all.push_back("... and " + std::to_string(dropped_) + " more");
    return all;
}

namespace fixture {

void prepare() {
    fs::create_directories(kShaderFolder);
    // A job that passes launchd screening: root's, not writable by others,
    // directly in a launchd folder, naming itself.
    std::ofstream(kJobPlist) << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                                "<key>Label</key><string>"
                             << kJobLabel << "</string></dict></plist>\n";
    ::chmod(kJobPlist.c_str(), 0644);
}

std::vector<std::string> leftovers() {
    std::vector<std::string> found;
    for (const Method method : kRemovalMethods) {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(folderFor(method), error))
            if (entry.path().filename().string().rfind(kItemPrefix, 0) == 0) found.push_back(entry.path().string());
    }
    return found;
}

void tearDown() {
    std::error_code ignored;
    for (const auto& item : leftovers()) fs::remove_all(item, ignored);
    fs::remove_all("/var/folders/so", ignored);
    fs::remove(kJobPlist, ignored);
    fs::remove_all("/private/var/root/.local/share/Trash", ignored);
}

}  // namespace fixture

void runMixedClient(const ClientPlan& plan, Tally& tally) {
    std::mt19937 random(plan.seed);
    std::uint64_t items = 0;
    bool first = true;
    while (std::chrono::steady_clock::now() < plan.deadline) {
        auto client = connect(plan, tally);
        if (!client) return;
        Session session(*client, plan, random, tally, items);
        if (first) {
            // Every method at least once per client, however short the run.
            std::vector<Method> all;
            for (std::size_t i = 0; i < kMethodCount; ++i)
                if (kWeights[i] > 0) all.push_back(static_cast<Method>(i));
            std::shuffle(all.begin(), all.end(), random);
            for (const Method method : all) session.call(method);
            first = false;
        }
        // Short and long connections alike, so that connections come and go
        // all the time while others stay.
        const std::size_t calls = 1 + random() % 24;
        for (std::size_t i = 0; i < calls && std::chrono::steady_clock::now() < plan.deadline; ++i)
            session.call(pick(random));
    }
}

void callEveryMethodOnce(const ClientPlan& plan, Tally& tally) {
    std::mt19937 random(plan.seed);
    std::uint64_t items = 0;
    auto client = connect(plan, tally);
    if (!client) return;
    Session session(*client, plan, random, tally, items);
    for (std::size_t i = 0; i < kMethodCount; ++i)
        if (static_cast<Method>(i) != Method::terminateForUpdate) session.call(static_cast<Method>(i));
}

}  // namespace smcd::soak
