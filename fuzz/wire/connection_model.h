#pragma once

// Drives one real Connection with a byte stream and checks what came back
// against what the stream and the exported object's behaviour call for.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ipc/wire.h"

namespace smcd::fuzz {

// What the exported object does with a call, read from a script that the
// fuzz input supplies, so that the fuzzer steers every call's fate.
enum class Callee {
    repliesOnce,
    repliesTwice,        // the second reply must never reach the peer
    neverReplies,        // the connection must give up on the peer
    repliesWrongTypes,   // never sent; the connection is invalidated
    repliesInvalidText,  // text that is not UTF-8 cannot be sent
};

// Three bits of the script per call, in delivery order, repeating after 21.
Callee calleeFor(std::uint64_t script, std::size_t ordinal);

// The well-typed reply the exported object gives; `salt` varies it per call.
std::vector<platform::ipc::WireValue> replyValuesFor(std::uint64_t salt, const std::vector<platform::ipc::WireType>& types);

struct ExpectedReply {
    std::uint64_t id;
    std::size_t method;
    std::vector<platform::ipc::WireValue> values;
};

struct Expectation {
    std::size_t invocations = 0;          // calls delivered to the exported object
    std::vector<ExpectedReply> replies;  // in order, each exactly once
};

// Reads the stream as the protocol describes it, independently of
// FrameReader: stops at the first bad length, an unfinished frame, a payload
// that is not a call of the interface, or a callee that breaks the contract.
Expectation expectedFrom(std::string_view stream, std::uint64_t script, const platform::ipc::Interface& interface);

struct Observation {
    std::size_t invocations = 0;
    std::size_t invalidations = 0;
    std::string output;          // every byte the peer received
    bool socketClosed = false;   // the served descriptor is gone afterwards
};

// Serves `stream` on a real Connection (its own thread, a socket pair) and
// collects everything the peer sees until end of stream.
Observation serveStream(std::string_view stream, std::uint64_t script, const platform::ipc::Interface& interface);

}  // namespace smcd::fuzz
