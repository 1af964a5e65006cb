// smcctl: a command-line client of smcd, one command per protocol method
// (smcctl --help, or smcctl.1, says which and what its exit statuses mean).

#include <unistd.h>

#include <string>
#include <vector>

#include "smcctl/smcctl.h"

int main(int argc, char** argv) {
    const std::vector<std::string> words(argv + 1, argv + argc);
    return smcd::smcctl::runCommandLine(words, {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO});
}
