#pragma once

// What smcctl says about itself, written once: `smcctl --help` prints it as
// text, and the build renders the same entries as the man page smcctl.1.

#include <span>
#include <string>
#include <string_view>

namespace smcd::smcctl {

struct HelpEntry {
    std::string_view term;  // a command's synopsis, an option, an exit status
    std::string_view text;
};

std::span<const HelpEntry> commandHelp();
std::span<const HelpEntry> optionHelp();
std::span<const HelpEntry> exitStatusHelp();
extern const std::string_view kSynopsis;
extern const std::string_view kDescription;

// The removal families, each with where its paths go.
std::string familyList();

// The help text, with the socket smcctl uses unless told otherwise.
std::string usageText(std::string_view defaultSocket);

}  // namespace smcd::smcctl
