#include "platform/ipc/wire.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include <unistd.h>

#include "protocol/vornik_fan_control_protocol.h"

namespace smcd::platform::ipc {
namespace {

using nlohmann::json;

// Every allocation of this test program, so a test can tell that input was
// refused before a parser built anything from it.
std::atomic<std::size_t> allocations{0};

std::string payloadOf(const std::string& framed) { return framed.substr(kFrameHeaderSize); }

TEST(FrameReader, RejectsEmptyAndOversizedLengthsBeforeBuffering) {
    // A length of 16 MiB + 1 is one too many.
    for (const auto& [header, status] : {std::pair{std::string("\0\0\0\0", 4), FrameReader::Status::invalid},
                                         {"\xFF\xFF\xFF\xFF", FrameReader::Status::invalid},
                                         {std::string("\x01\0\0\x01", 4), FrameReader::Status::invalid},
                                         {std::string("\0\0\0\5abc", 7), FrameReader::Status::needMore}}) {
        FrameReader reader;
        std::string payload;
        reader.append(header);
        EXPECT_EQ(reader.next(payload), status);
    }
}

// A peer's announced length costs nothing by itself: the reader holds what
// has arrived, in whole pages, and nothing of a frame once it is served.
TEST(FrameReader, HoldsOnlyWhatHasArrivedAndNotBeenServed) {
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    InputBuffer buffer(kMaxFrameSize);
    buffer.append("\x01\0\0\0abc");
    EXPECT_EQ(buffer.mapped(), page) << "a 16 MiB announcement with 3 bytes behind it";
    buffer.append(std::string(3 * page, 'x'));
    EXPECT_EQ(buffer.mapped(), 4 * page);
    buffer.dropFront(2 * page);
    EXPECT_EQ(buffer.mapped(), 2 * page);

    FrameReader reader;
    reader.append(frame(std::string(3 * page, ' ')) + frame("{}").substr(0, 5));
    std::string_view payload;
    ASSERT_EQ(reader.next(payload), FrameReader::Status::frame);
    EXPECT_EQ(payload.size(), 3 * page);
    reader.release();
    EXPECT_EQ(reader.buffered(), 5u) << "the served frame is given back, the next one's start kept";
    EXPECT_TRUE(reader.midFrame());
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

    const std::string setFan = "setFanWithIndex:manual:targetRPM:reply:", remove = "removeSystemCachePathsWithPaths:reply:";
    const std::pair<std::string, json> refused[] = {
        {setFan, json::array({1, 1, 4000})}, {setFan, json::array({1.5, true, 4000})}, {setFan, json::array({1, true})},
        {setFan, json::array({9223372036854775808ull, true, 1})}, {remove, json::array({json::array({"/a", 5})})},
        {remove, json::array({"/a"})}, {"pingWithReply:", json::array({nullptr})}, {"pingWithReply", json::array()},
        {"PINGWITHREPLY:", json::array()},
    };
    for (const auto& [selector, arguments] : refused)
        EXPECT_FALSE(decodeCall(payloadOf(encodeCall(1, selector, arguments)), protocol)) << selector << arguments;
    EXPECT_TRUE(decodeCall(payloadOf(encodeCall(1, "pingWithReply:", json::array())), protocol));
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

TEST(Values, TextKeepsEveryCharacterDataEveryByteAndBase64RefusesCorruption) {
    const std::string withNul("a\0b\xC3\xA9", 5);
    std::string allBytes;
    for (int i = 0; i < 256; ++i) allBytes += static_cast<char>(i);
    const Reply reply{3, {withNul, Data{allBytes}, nullptr, std::vector<std::string>{"", withNul}}};
    const auto decoded = decodeReply(payloadOf(encodeReply(reply)),
                                     {WireType::text, WireType::data, WireType::optionalText, WireType::textArray});
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->values, reply.values);
    EXPECT_THROW(encodeReply(Reply{1, {std::string("\xFF")}}), json::exception) << "text that is not UTF-8";
    EXPECT_EQ(base64Encode("foobar"), "Zm9vYmFy");
    for (const char* corrupt : {"Zm9", "Zm=v", "Zm9v!A=="}) EXPECT_FALSE(base64Decode(corrupt)) << corrupt;
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
