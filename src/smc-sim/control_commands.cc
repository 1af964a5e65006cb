#include "smc-sim/control_commands.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <optional>

namespace smcd::smcsim {
namespace {

constexpr std::string_view kHexDigits = "0123456789abcdef";
// Holds beyond this are surely a typing mistake; they also keep the
// milliseconds conversion far from overflow.
constexpr double kLongestHoldSeconds = 86400;

std::optional<std::vector<std::uint8_t>> parseHex(std::string_view text) {
    if (text.empty() || text.size() % 2 != 0) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        unsigned value = 0;
        const auto [end, error] = std::from_chars(text.data() + i, text.data() + i + 2, value, 16);
        if (error != std::errc{} || end != text.data() + i + 2) return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return bytes;
}

std::string hexOf(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    for (const auto byte : bytes) {
        text += kHexDigits[byte >> 4];
        text += kHexDigits[byte & 0xF];
    }
    return text;
}

std::optional<double> parseNumber(std::string_view text) {
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string numberText(double value) {
    char buffer[64];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof(buffer), value);
    return error == std::errc{} ? std::string(buffer, end) : "nan";
}

// Types are four characters with trailing spaces ("flt "); words cannot
// carry the spaces, so they are added back here and dropped when shown.
std::string paddedType(std::string_view word) {
    std::string type(word);
    if (type.size() < 4) type.append(4 - type.size(), ' ');
    return type;
}

std::string shownType(std::string type) {
    while (!type.empty() && type.back() == ' ') type.pop_back();
    return type;
}

std::string reply(ControlOutcome outcome) {
    if (!outcome) return "ok";
    switch (*outcome) {
        case ControlError::unknownKey: return "error unknown-key";
        case ControlError::badValue: return "error bad-value";
        case ControlError::sizeMismatch: return "error size-mismatch";
        case ControlError::badType: return "error bad-type";
    }
    return "error";
}

bool isKeyWord(std::string_view word) { return word.size() == 4; }

}  // namespace

std::vector<std::string_view> splitWords(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t position = 0;
    while (position < line.size()) {
        const auto start = line.find_first_not_of(" \t\r", position);
        if (start == std::string_view::npos) break;
        const auto end = std::min(line.find_first_of(" \t\r", start), line.size());
        words.push_back(line.substr(start, end - start));
        position = end;
    }
    return words;
}

std::string runControlCommand(Machine& machine, std::string_view line) {
    const auto words = splitWords(line);
    if (words.empty()) return "error empty";
    const std::string_view verb = words[0];
    const std::size_t count = words.size();
    const auto usage = [](std::string_view form) { return "error usage: " + std::string(form); };

    if (verb == "ping") return "ok smc-sim";
    if (verb == "profile") return "ok " + machine.profile().name;
    if (verb == "calls") return "ok " + std::to_string(machine.callCount());
    if (verb == "held") return machine.fansHeld() ? "ok yes" : "ok no";

    if (verb == "read" || verb == "value" || verb == "writes" || verb == "absent" || verb == "present" ||
        verb == "refuse" || verb == "accept") {
        if (count != 2 || !isKeyWord(words[1])) return usage(std::string(verb) + " KEY");
        const std::string_view key = words[1];
        if (verb == "read") {
            const auto reading = machine.read(key);
            if (!reading) return "error absent";
            return "ok " + shownType(reading->type) + " " + std::to_string(reading->bytes.size()) + " " +
                   hexOf(reading->bytes);
        }
        if (verb == "value") {
            const auto reading = machine.read(key);
            if (!reading) return "error absent";
            const auto number = machine.value(key);
            return number ? "ok " + numberText(*number) : "error bad-type";
        }
        if (verb == "writes") {
            const auto writes = machine.writeCount(key);
            return "ok " + std::to_string(writes.attempts) + " " + std::to_string(writes.accepted);
        }
        if (verb == "absent" || verb == "present") return reply(machine.setAbsent(key, verb == "absent"));
        return reply(machine.setRefuseWrites(key, verb == "refuse"));
    }
    if (verb == "set") {
        if (count != 3 || !isKeyWord(words[1])) return usage("set KEY NUMBER");
        const auto number = parseNumber(words[2]);
        return number ? reply(machine.setNumber(words[1], *number)) : "error bad-value";
    }
    if (verb == "write") {
        if (count != 3 || !isKeyWord(words[1])) return usage("write KEY HEX");
        const auto bytes = parseHex(words[2]);
        return bytes ? reply(machine.setBytes(words[1], *bytes)) : "error bad-value";
    }
    if (verb == "define") {
        if (count != 4 || !isKeyWord(words[1]) || words[2].size() > 4) return usage("define KEY TYPE HEX");
        const auto bytes = parseHex(words[3]);
        return bytes ? reply(machine.define(words[1], paddedType(words[2]), *bytes)) : "error bad-value";
    }
    if (verb == "report-size") {
        if (count != 3 || !isKeyWord(words[1])) return usage("report-size KEY N|real");
        if (words[2] == "real") return reply(machine.setReportedSize(words[1], std::nullopt));
        std::uint32_t size = 0;
        const auto [end, error] = std::from_chars(words[2].data(), words[2].data() + words[2].size(), size);
        if (error != std::errc{} || end != words[2].data() + words[2].size()) return "error bad-value";
        return reply(machine.setReportedSize(words[1], size));
    }
    if (verb == "access") {
        if (count != 3 || !isKeyWord(words[1])) return usage("access KEY rw|r|w|none");
        const std::string_view mode = words[2];
        if (mode != "rw" && mode != "r" && mode != "w" && mode != "none") return "error bad-value";
        return reply(machine.setAccess(words[1], mode.find('r') != std::string_view::npos,
                                       mode.find('w') != std::string_view::npos));
    }
    if (verb == "hold") {
        if (count != 2) return usage("hold SECONDS");
        const auto seconds = parseNumber(words[1]);
        if (!seconds || !(*seconds >= 0 && *seconds <= kLongestHoldSeconds)) return "error bad-value";
        machine.setHoldTime(std::chrono::milliseconds(std::llround(*seconds * 1000)));
        return "ok";
    }
    if (verb == "dynamics") {
        if (count != 2 || (words[1] != "on" && words[1] != "off")) return usage("dynamics on|off");
        machine.setDynamics(words[1] == "on");
        return "ok";
    }
    return "error unknown-command";
}

}  // namespace smcd::smcsim
