#include "smcctl/smcctl.h"

#include "client/client.h"
#include "common/io.h"
#include "smcctl/options.h"
#include "smcctl/outcome.h"
#include "smcctl/raw.h"
#include "smcctl/request.h"
#include "smcctl/usage.h"
#include "smcd/product_facts.h"

namespace smcd::smcctl {
namespace {

void say(int fd, const std::string& text) { (void)io::writeAll(fd, text); }

int failed(const client::Failure& failure, Streams streams) {
    switch (failure.kind) {
        case client::FailureKind::badRequest:
            say(streams.err, "smcctl: " + failure.reason + "\n");
            return kExitUsage;
        case client::FailureKind::unreachable:
            say(streams.err, "smcctl: smcd is not running, or not reachable (" + failure.reason +
                                 ").\nStart it with `make run` in its source tree, or where it is installed with "
                                 "`systemctl start " + std::string(product_facts::kServiceName) + ".socket`.\n");
            return kExitUnavailable;
        case client::FailureKind::invalidated: break;
    }
    say(streams.err, "smcctl: the daemon dropped the connection: " + failure.reason + "\n");
    return kExitUnavailable;
}

int perform(const Invocation& invocation, Streams streams) {
    const std::string socket = invocation.socket.empty() ? client::defaultSocketPath() : invocation.socket;
    const std::string& command = invocation.operands[0];
    const std::span<const std::string> args = std::span(invocation.operands).subspan(1);
    // Every check is made before the daemon is asked anything.
    std::optional<Request> request;
    if (command == "raw") {
        if (!args.empty() || invocation.permanence != Permanence::unset) throw UsageError{"raw takes no arguments"};
    } else {
        request = requestFor(command, args, invocation.permanence);
    }
    auto connected = client::Client::connect(socket);
    if (!connected) return failed(connected.error(), streams);
    if (!request) {
        if (pumpRaw(connected->socket(), streams.in, streams.out)) return kExitSucceeded;
        return failed({client::FailureKind::invalidated, "raw exchange cut short"}, streams);
    }
    const auto& selector = protocol::vornikFanControlInterface().methods()[protocol::numberOf(request->method)].selector;
    auto reply = connected->call(selector, request->arguments);
    if (!reply) return failed(reply.error(), streams);
    say(streams.out, shownReply(*request, *reply, invocation.json));
    return replySaysFailure(*reply) ? kExitFailed : kExitSucceeded;
}

}  // namespace

int runCommandLine(std::span<const std::string> words, Streams streams) {
    try {
        const Invocation invocation = parseCommandLine(words);
        const bool helpCommand = !invocation.operands.empty() && invocation.operands[0] == "help";
        if (invocation.help || helpCommand) {
            say(streams.out, usageText(client::defaultSocketPath()));
            return kExitSucceeded;
        }
        if (invocation.operands.empty()) throw UsageError{"no command"};
        return perform(invocation, streams);
    } catch (const UsageError& error) {
        say(streams.err, "smcctl: " + error.message + "\nusage: " + std::string(kSynopsis) +
                             "\n(smcctl --help lists the commands)\n");
        return kExitUsage;
    }
}

}  // namespace smcd::smcctl
