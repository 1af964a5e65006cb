#include "smcctl/options.h"

#include <cctype>

namespace smcd::smcctl {
namespace {

// "-5" is a number (a speed or an index a test may send), not an option.
bool isOption(const std::string& word) {
    return word.size() > 1 && word[0] == '-' && !std::isdigit(static_cast<unsigned char>(word[1]));
}

void choose(Invocation& invocation, Permanence permanence) {
    if (invocation.permanence != Permanence::unset && invocation.permanence != permanence)
        throw UsageError{"--trash and --permanent exclude each other"};
    invocation.permanence = permanence;
}

}  // namespace

Invocation parseCommandLine(std::span<const std::string> words) {
    Invocation invocation;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (optionsEnded || !isOption(word)) {
            invocation.operands.push_back(word);
        } else if (word == "--") {
            optionsEnded = true;
        } else if (word == "--json") {
            invocation.json = true;
        } else if (word == "-h" || word == "--help") {
            invocation.help = true;
        } else if (word == "--trash") {
            choose(invocation, Permanence::trash);
        } else if (word == "--permanent") {
            choose(invocation, Permanence::permanent);
        } else if (word == "--socket" || word.starts_with("--socket=")) {
            std::string value;
            if (word != "--socket") {
                value = word.substr(word.find('=') + 1);
            } else if (i + 1 < words.size()) {
                value = words[++i];
            }
            if (value.empty()) throw UsageError{"option --socket needs a value (a socket path)"};
            invocation.socket = value;
        } else {
            throw UsageError{"unknown option " + word};
        }
    }
    return invocation;
}

}  // namespace smcd::smcctl
