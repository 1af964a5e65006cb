#include "smcctl/usage.h"

#include <array>

#include "smcctl/request.h"

namespace smcd::smcctl {
namespace {

constexpr std::array kCommands = {
    HelpEntry{"ping", "the daemon's version"},
    HelpEntry{"capabilities", "each fan's speeds and whether it can be controlled"},
    HelpEntry{"set-fan INDEX manual RPM", "fan INDEX to manual mode at RPM revolutions per minute"},
    HelpEntry{"set-fan INDEX auto", "fan INDEX back to automatic"},
    HelpEntry{"reset-fans", "every fan back to automatic"},
    HelpEntry{"maintenance ID...", "run maintenance tasks by id"},
    HelpEntry{"background-items", "the system's background-item dump"},
    HelpEntry{"network", "the system's TCP socket listings"},
    HelpEntry{"terminate", "hand the fans back and end the daemon, as before an update"},
    HelpEntry{"remove FAMILY PATH...",
              "remove paths of one family (the families are listed below); those that may go to the Trash go "
              "there unless --permanent is given, the others are always removed permanently"},
    HelpEntry{"launchd enable|disable LABEL PLIST", "enable or disable a system launchd job"},
    HelpEntry{"measure PATH...", "allocated bytes and file count of each path"},
    HelpEntry{"delete-snapshots DAYS VOLUME", "ask to delete local snapshots (the daemon always refuses)"},
    HelpEntry{"call SELECTOR [JSON-ARRAY]",
              "call any method by its selector with its arguments as one JSON array; the selector and the "
              "arguments are checked against the protocol before anything is sent"},
    HelpEntry{"raw", "standard input to the socket and the socket to standard output, both at once"},
    HelpEntry{"help", "this text"},
};

constexpr std::array kOptions = {
    HelpEntry{"--socket PATH", "the daemon's socket instead of the default"},
    HelpEntry{"--json", "print each reply exactly, as JSON, instead of a table"},
    HelpEntry{"--trash, --permanent", "where remove appBundle|supportFile puts the paths (the Trash by default)"},
    HelpEntry{"-h, --help", "print this help and exit"},
    HelpEntry{"--", "end the options: later words are arguments even when they begin with -"},
};

constexpr std::array kExitStatuses = {
    HelpEntry{"0", "the reply says the request succeeded, or carries data"},
    HelpEntry{"1",
              "the reply says the request failed: a false status (set-fan, reset-fans, launchd, terminate), a "
              "record with removed false (remove), refused true (measure) or ok false (maintenance), or no "
              "snapshot deleted"},
    HelpEntry{"2", "the daemon could not be reached, or it dropped the connection"},
    HelpEntry{"64", "usage error: unknown command or option, a missing or malformed argument, a call whose "
                    "selector or arguments do not match the protocol"},
};

}  // namespace

const std::string_view kSynopsis = "smcctl [--socket PATH] [--json] COMMAND [ARGUMENT...]";
const std::string_view kDescription =
    "smcctl is a command-line client of smcd: one command per method of its protocol. Options may stand "
    "anywhere among the arguments; an argument that is a negative number is never taken for an option.";

std::string familyList() {
    std::string text;
    for (const auto& family : removalFamilies()) {
        if (!text.empty()) text += ", ";
        text.append(family.name).append(family.choosesPermanence ? " (Trash or permanent)" : " (permanent)");
    }
    return text;
}

std::span<const HelpEntry> commandHelp() { return kCommands; }
std::span<const HelpEntry> optionHelp() { return kOptions; }
std::span<const HelpEntry> exitStatusHelp() { return kExitStatuses; }

std::string usageText(std::string_view defaultSocket) {
    std::string text = "usage: " + std::string(kSynopsis) + "\n\ncommands:\n";
    auto list = [&](std::span<const HelpEntry> entries) {
        for (const auto& [term, meaning] : entries) {
            text.append("  ").append(term).append("\n      ").append(meaning).append("\n");
        }
    };
    list(kCommands);
    text += "\noptions:\n";
    list(kOptions);
    text += "\nfamilies of remove:\n  " + familyList() + "\n";
    text.append("\nThe default socket is ").append(defaultSocket).append(".\n\nexit status:\n");
    list(kExitStatuses);
    return text;
}

}  // namespace smcd::smcctl
