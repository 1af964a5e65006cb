#include "platform/ipc/linux/wire.h"

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

std::string payloadOf(const Encoded& framed) { return framed.value().substr(kFrameHeaderSize); }

TEST(FrameReader, RejectsBadLengthsAndHoldsOnlyWhatHasArrivedAndNotBeenServed) {
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
    // A peer's announced length costs nothing by itself: the reader holds what
    // has arrived, in whole pages, and no more than a page once it is served.
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    InputBuffer buffer(kMaxFrameSize);
    buffer.append("\x01\0\0\0abc");
    EXPECT_EQ(buffer.mapped(), page) << "a 16 MiB announcement with 3 bytes behind it";
    buffer.append(std::string(3 * page, 'x'));
    EXPECT_EQ(buffer.mapped(), 4 * page);
    buffer.dropFront(2 * page);
    EXPECT_EQ(buffer.mapped(), 2 * page);
    buffer.dropFront(buffer.size());
    EXPECT_EQ(buffer.mapped(), page) << "emptied, it keeps its first page alone";

    FrameReader reader;
    reader.append(frame(std::string(3 * page, ' ')).value() + frame("{}").value().substr(0, 5));
    std::string_view payload;
    ASSERT_EQ(reader.next(payload), FrameReader::Status::frame);
    EXPECT_EQ(payload.size(), 3 * page);
    reader.release();
    EXPECT_EQ(reader.buffered(), 5u) << "the served frame is given back, the next one's start kept";
    EXPECT_TRUE(reader.midFrame());
}

TEST(CallDecoding, AcceptsExactlyTheMethodsTypesInAWellFormedEnvelope) {
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
    // Envelopes that are not exactly an id, a selector and arguments.
    for (const std::string payload : {"", "garbage", "[]", "{}", R"({"id":-1,"selector":"pingWithReply:","arguments":[]})",
                                      R"({"id":1,"selector":"pingWithReply:"})",
                                      R"({"id":1,"selector":"pingWithReply:","arguments":[],"extra":0})",
                                      R"({"id":"1","selector":"pingWithReply:","arguments":[]})",
                                      R"({"id":1,"id":1,"selector":"pingWithReply:","arguments":[]})",
                                      R"({"id":1,"selector":"pingWithReply:","selector":"pingWithReply:","arguments":[]})",
                                      R"({"id":1.0,"selector":"pingWithReply:","arguments":[]})",
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
    for (const char* member : {R"({"data":"","data":""})", R"({"data":"","more":1})", R"({"data":1})", "{}"})
        EXPECT_FALSE(decodeReply(R"({"id":3,"reply":[)" + std::string(member) + "]}", {WireType::data})) << member;
    EXPECT_EQ(base64Encode("foobar"), "Zm9vYmFy");
    for (const char* corrupt : {"Zm9", "Zm=v", "Zm9v!A=="}) EXPECT_FALSE(base64Decode(corrupt)) << corrupt;
}

TEST(Encoding, WritesWhatTheJsonLibraryWroteAndRefusesWhatItRefused) {
    // Escapes, the one byte left as is (DEL), and every length of UTF-8.
    const std::string texts[] = {std::string("\0\x01\x1F\x7F", 4), "\"\\/\b\f\n\r\t", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
                                 "\xEF\xBF\xBF\xF4\x8F\xBF\xBF", ""};
    for (const std::string& text : texts) {
        const Reply reply{18446744073709551615ull, {text, std::vector<std::string>{text, text}, std::int64_t{-9}, nullptr}};
        const json expected = {{"id", reply.id}, {"reply", {text, {text, text}, -9, nullptr}}};
        EXPECT_EQ(payloadOf(encodeReply(reply)), expected.dump()) << text;
        const json call = {{"id", 5}, {"selector", text}, {"arguments", {text, true}}};
        EXPECT_EQ(payloadOf(encodeCall(5, text, std::vector<WireValue>{text, true})), call.dump()) << text;
    }
    // Overlong, surrogate, above U+10FFFF, cut short, a stray continuation.
    for (const std::string bad : {"\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "a\x80"}) {
        EXPECT_THROW(json(bad).dump(), json::exception) << "the library refuses it too";
        const auto encoded = encodeReply(Reply{1, {std::vector<std::string>{"a", bad}}});
        ASSERT_FALSE(encoded);
        EXPECT_EQ(encoded.error().kind, EncodeFailure::notUtf8);
        EXPECT_EQ(encodeCall(1, "pingWithReply:", json::array({bad})).error().kind, EncodeFailure::notUtf8);
    }
}

TEST(Encoding, RefusesAPayloadAboveItsLimitBeforeBuildingIt) {
    const Reply reply{1, {Data{std::string(3000, 'x')}}};  // {"id":1,"reply":[{"data":"<4000>"}]}
    const std::size_t size = 4000 + 30;
    ASSERT_EQ(encodeReply(reply, size).value().size(), kFrameHeaderSize + size);
    const std::size_t before = allocations.load();
    const auto refused = encodeReply(reply, size - 1);
    EXPECT_EQ(allocations.load(), before) << "nothing is built for a refused reply";
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, EncodeFailure::tooLarge);
    EXPECT_EQ(refused.error().payloadSize, size);
    // The length field holds 32 bits whatever limit the caller names (the
    // bytes of this view are never read: it is refused on its size alone).
    const std::string_view huge(refused.error().kind == EncodeFailure::tooLarge ? "x" : "", std::size_t{1} << 32);
    EXPECT_EQ(frame(huge, std::size_t{1} << 40).error().payloadSize, std::size_t{1} << 32);
    EXPECT_EQ(frame("abc", 2).error().payloadSize, 3u);
    EXPECT_EQ(frame("abc", 3).value(), std::string("\0\0\0\3abc", 7));
    // A call is held to the daemon's request limit.
    const json path = json::array({std::string(kMaxFrameSize, 'x')});
    EXPECT_EQ(encodeCall(1, "removeSystemCachePathsWithPaths:reply:", json::array({path})).error().kind,
              EncodeFailure::tooLarge);
}

TEST(CallDecoding, CostsEachShortPathOnceWithNoDocumentBuilt) {
    // A list of short texts is the cheapest way to make many elements:
    // each must cost its own bytes in the list, not a node of a tree too.
    const std::vector<WireValue> arguments{std::vector<std::string>(100000, "/a")};
    const std::string payload = payloadOf(encodeCall(1, "measurePrivilegedPathsWithPaths:reply:", arguments));
    const std::size_t before = allocations.load();
    const auto call = decodeCall(payload, vornikFanControlInterface());
    EXPECT_LT(allocations.load() - before, 16u) << "the list grew through copies, or each text cost a node";
    ASSERT_TRUE(call);
    EXPECT_EQ(call->arguments, arguments);
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
