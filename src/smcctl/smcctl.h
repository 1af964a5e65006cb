#pragma once

// The whole of smcctl but its main(): a command line in, an exit status out,
// with the standard streams as descriptors so that tests run it in-process.

#include <sysexits.h>

#include <span>
#include <string>

namespace smcd::smcctl {

inline constexpr int kExitSucceeded = EX_OK;
inline constexpr int kExitFailed = 1;       // the reply says the request failed
inline constexpr int kExitUnavailable = 2;  // no daemon answered, or it dropped the connection
inline constexpr int kExitUsage = EX_USAGE;

struct Streams {
    int in;
    int out;
    int err;
};

int runCommandLine(std::span<const std::string> words, Streams streams);

}  // namespace smcd::smcctl
