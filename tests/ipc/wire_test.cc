#include "platform/ipc/wire.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "protocol/vornik_fan_control_protocol.h"

namespace smcd::platform::ipc {
namespace {

using nlohmann::json;

// Every allocation of this test program, so a test can tell that input was
// refused before a parser built anything from it.
std::atomic<std::size_t> allocations{0};

std::string payloadOf(const std::string& framed) { return framed.substr(kFrameHeaderSize); }

TEST(FrameReader, ReassemblesFramesWhateverTheWriteBoundaries) {
    const std::string stream = frame("first") + frame("second") + frame("x");
    for (std::size_t chunk = 1; chunk <= stream.size(); ++chunk) {
        FrameReader reader;
        std::vector<std::string> frames;
        std::string payload;
        for (std::size_t at = 0; at < stream.size(); at += chunk) {
            reader.append(std::string_view(stream).substr(at, chunk));
            while (reader.next(payload) == FrameReader::Status::frame) frames.push_back(payload);
        }
        EXPECT_EQ(frames, (std::vector<std::string>{"first", "second", "x"})) << "chunk " << chunk;
    }
}

TEST(FrameReader, RejectsEmptyAndOversizedLengthsBeforeBuffering) {
    std::string payload;
    FrameReader empty;
    empty.append(std::string("\0\0\0\0", 4));
    EXPECT_EQ(empty.next(payload), FrameReader::Status::invalid);

    FrameReader huge;
    huge.append("\xFF\xFF\xFF\xFF");
    EXPECT_EQ(huge.next(payload), FrameReader::Status::invalid);

    FrameReader justOver;
    const std::size_t n = kMaxFrameSize + 1;
    const char header[] = {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                           static_cast<char>(n)};
    justOver.append(std::string_view(header, 4));
    EXPECT_EQ(justOver.next(payload), FrameReader::Status::invalid);

    FrameReader partial;
    partial.append(std::string("\0\0\0\5abc", 7));
    EXPECT_EQ(partial.next(payload), FrameReader::Status::needMore);
}

TEST(CallDecoding, AcceptsExactlyTheMethodsTypes) {
    const Interface& protocol = vornikFanControlInterface();
    const auto call = decodeCall(payloadOf(encodeCall(7, "setFanWithIndex:manual:targetRPM:reply:",
                                                      std::vector<WireValue>{std::int64_t{-1}, true, std::int64_t{4000}})),
                                 protocol);
    ASSERT_TRUE(call);
    EXPECT_EQ(call->id, 7u);
    EXPECT_EQ(protocol.methods()[call->method].selector, "setFanWithIndex:manual:targetRPM:reply:");
    EXPECT_EQ(call->arguments, (std::vector<WireValue>{std::int64_t{-1}, true, std::int64_t{4000}}));

    auto rejects = [&](const std::string& selector, const json& arguments) {
        return !decodeCall(payloadOf(encodeCall(1, selector, arguments)), protocol);
    };
    EXPECT_TRUE(rejects("setFanWithIndex:manual:targetRPM:reply:", json::array({1, 1, 4000})));      // int for bool
    EXPECT_TRUE(rejects("setFanWithIndex:manual:targetRPM:reply:", json::array({1.5, true, 4000})));  // float
    EXPECT_TRUE(rejects("setFanWithIndex:manual:targetRPM:reply:", json::array({1, true})));          // count
    EXPECT_TRUE(rejects("setFanWithIndex:manual:targetRPM:reply:", json::array({9223372036854775808ull, true, 1})));
    EXPECT_TRUE(rejects("removeSystemCachePathsWithPaths:reply:", json::array({json::array({"/a", 5})})));
    EXPECT_TRUE(rejects("removeSystemCachePathsWithPaths:reply:", json::array({"/a"})));
    EXPECT_TRUE(rejects("pingWithReply:", json::array({nullptr})));
    EXPECT_TRUE(rejects("pingWithReply", json::array()));
    EXPECT_TRUE(rejects("PINGWITHREPLY:", json::array()));
    EXPECT_FALSE(rejects("pingWithReply:", json::array()));
}

TEST(CallDecoding, RejectsMalformedEnvelopes) {
    const Interface& protocol = vornikFanControlInterface();
    for (const std::string payload : {"", "garbage", "[]", "{}", R"({"id":-1,"selector":"pingWithReply:","arguments":[]})",
                                      R"({"id":1,"selector":"pingWithReply:"})",
                                      R"({"id":1,"selector":"pingWithReply:","arguments":[],"extra":0})",
                                      R"({"id":"1","selector":"pingWithReply:","arguments":[]})",
                                      "{\"id\":1,\"selector\":\"ping\xFFWithReply:\",\"arguments\":[]}"}) {
        EXPECT_FALSE(decodeCall(payload, protocol)) << payload;
    }
}

TEST(CallDecoding, RefusesNestingNoMessageNeedsBeforeParsingIt) {
    const Interface& protocol = vornikFanControlInterface();
    const std::string prefix = R"({"id":1,"selector":"measurePrivilegedPathsWithPaths:reply:","arguments":)";
    EXPECT_TRUE(decodeCall(prefix + R"([["[[[[{{"]]})", protocol)) << "brackets inside a text do not count";
    const std::string deep = prefix + std::string(100000, '[') + std::string(100000, ']') + "}";
    const std::size_t before = allocations.load();
    const bool decoded = decodeCall(deep, protocol).has_value();
    EXPECT_FALSE(decoded);
    EXPECT_LT(allocations.load() - before, 16u) << "a parser built the nesting before it was refused";
    EXPECT_FALSE(decodeCall(prefix + R"([[["/a"]]]})", protocol));
    EXPECT_FALSE(decodeReply(R"({"id":1,"reply":[[[[[1]]]]]})", {WireType::textArray}));
}

TEST(Values, TextKeepsEveryCharacterAndDataEveryByte) {
    const std::string withNul("a\0b\xC3\xA9", 5);
    std::string allBytes;
    for (int i = 0; i < 256; ++i) allBytes += static_cast<char>(i);
    const Reply reply{3, {withNul, Data{allBytes}, nullptr, std::vector<std::string>{"", withNul}}};
    const auto decoded = decodeReply(payloadOf(encodeReply(reply)),
                                     {WireType::text, WireType::data, WireType::optionalText, WireType::textArray});
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->values, reply.values);
}

TEST(Values, Base64RoundTripsAndRejectsCorruption) {
    for (const std::string bytes : {"", "f", "fo", "foo", "foob", "fooba", "foobar"})
        EXPECT_EQ(base64Decode(base64Encode(bytes)), bytes);
    EXPECT_EQ(base64Encode("foobar"), "Zm9vYmFy");
    EXPECT_FALSE(base64Decode("Zm9"));
    EXPECT_FALSE(base64Decode("Zm=v"));
    EXPECT_FALSE(base64Decode("Zm9v!A=="));
}

TEST(Values, EncodingRefusesTextThatIsNotUtf8) {
    EXPECT_THROW(encodeReply(Reply{1, {std::string("\xFF")}}), json::exception);
}

}  // namespace
}  // namespace smcd::platform::ipc

// Counting needs the global allocation functions replaced; gcc takes the
// free() in a replaced delete for a mismatch with the new it pairs with.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
    smcd::platform::ipc::allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
