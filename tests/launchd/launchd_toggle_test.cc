#include "launchd/launchd_toggle.h"

#include <optional>
#include <tuple>

#include "launchd_fixture.h"
#include "platform/log/logger.h"
#include "support/failure_of.h"
#include "support/log_capture.h"
#include "probe_support.h"

namespace smcd::launchd {
namespace {

using platform::CapturedLine;
using platform::LogLevel;
using Arguments = std::vector<std::vector<std::string>>;

class Toggle : public test::LaunchdSandbox {
protected:
    void SetUp() override {
        test::LaunchdSandbox::SetUp();
        if (IsSkipped()) return;
        place(agent, jobPlist("com.example.agent"));
        place(daemon, jobPlist("com.example.daemon"));
    }

    // Runs the toggle against a stand-in launchctl whose verbs in `failing`
    // exit 1 (none at all for "missing"); returns the client's message (none
    // on success) and the argument lists launchctl received.
    std::pair<std::optional<std::string>, Arguments> toggle(std::string_view label, const std::string& path, bool enable,
                                                            uid_t peer, const std::vector<std::string>& failing = {}) {
        std::vector<std::string> plan{"record " + calls};
        for (const auto& verb : failing) plan.push_back("if 1 " + verb + " exit 1");
        std::optional<test::PlacedTool> launchctl;
        if (failing != std::vector<std::string>{"missing"}) launchctl.emplace("/bin/launchctl", plan);
        const auto outcome = setLaunchdItem(label, path, enable, peer);
        Arguments seen;
        for (const auto& argv : test::recordedArgvs(calls)) seen.emplace_back(argv.begin() + 1, argv.end());
        ::unlink(calls.c_str());
        return {test::failureOf(outcome), seen};
    }

    const std::string agent = agents + "com.example.agent.plist";
    const std::string daemon = daemons + "com.example.daemon.plist";
    test::TempDir scratch;
    const std::string calls = scratch / "calls";
};

TEST_F(Toggle, RunsBothCommandsInTheScreenedDomainAndReportsTheFirstFailure) {
    const std::string system = "system/com.example.daemon", agent501 = "gui/501/com.example.agent",
                      agent502 = "gui/502/com.example.agent";
    const Arguments enableDaemon{{"enable", system}, {"bootstrap", "system", daemon}},
        disableDaemon{{"bootout", system}, {"disable", system}};
    const std::tuple<bool, bool, uid_t, std::vector<std::string>, std::optional<std::string>, Arguments, std::string> cases[] = {
        {false, true, 501, {}, std::nullopt, enableDaemon, "enable in system \u2192 ok"},
        {false, false, 0, {}, std::nullopt, disableDaemon, "disable in system \u2192 ok"},
        {true, true, 501, {}, std::nullopt, {{"enable", agent501}, {"bootstrap", "gui/501", agent}}, "enable in gui/501 \u2192 ok"},
        {true, false, 502, {}, std::nullopt, {{"bootout", agent502}, {"disable", agent502}}, "disable in gui/502 \u2192 ok"},
        {false, true, 501, {"bootstrap"}, "launchctl bootstrap failed", enableDaemon, "enable in system \u2192 failed"},
        {false, true, 501, {"enable", "bootstrap"}, "launchctl enable failed", enableDaemon, "enable in system \u2192 failed"},
        {false, false, 501, {"disable"}, "launchctl disable failed", disableDaemon, "disable in system \u2192 failed"},
        {false, false, 501, {"bootout", "disable"}, "launchctl bootout failed", disableDaemon, "disable in system \u2192 failed"},
        {false, false, 501, {"missing"}, "launchctl bootout failed", {}, "disable in system \u2192 failed"},
    };
    for (const auto& [isAgent, enable, peer, failing, message, arguments, logged] : cases) {
        platform::ScopedLogCapture capture;
        const auto label = isAgent ? "com.example.agent" : "com.example.daemon";
        EXPECT_EQ(toggle(label, isAgent ? agent : daemon, enable, peer, failing), std::pair(message, arguments)) << logged;
        EXPECT_EQ(capture.lines(), (std::vector<CapturedLine>{{LogLevel::notice, "launchd " + logged}}));
    }
}

TEST_F(Toggle, RefusedRequestsRunNothingAndLogTheReason) {
    platform::ScopedLogCapture capture;
    EXPECT_EQ(toggle("com.apple.example", daemon, true, 501),
              std::pair(std::optional<std::string>("That background item is not one Vornik's helper may change."), Arguments{}));
    EXPECT_EQ(capture.lines(),
              (std::vector<CapturedLine>{{LogLevel::error, "launchd toggle refused (appleNamespace): <private>"}}));
}

}  // namespace
}  // namespace smcd::launchd
