#pragma once

// The compile-time check of a log format against its arguments. The unified
// log reads a call's values as C varargs, typed by the format alone, so a
// conversion that names another type than the value it is given reads
// garbage there; here such a call does not build. The language is the subset
// this code writes: "%%", and "%" with an optional {public} or {private}
// mark, an optional l, ll or z, and one of d, i, u, x or s.

#include <cstddef>
#include <span>
#include <string_view>
#include <type_traits>

namespace smcd::platform {

// What a value reaches C varargs as: an integer after promotion, or text.
enum class LogValueKind { text, signedInt, unsignedInt, signedLong, unsignedLong, signedLongLong, unsignedLongLong,
                          unsupported };

template <class Promoted>
constexpr LogValueKind promotedKind() {
    if constexpr (std::is_same_v<Promoted, int>) return LogValueKind::signedInt;
    else if constexpr (std::is_same_v<Promoted, unsigned>) return LogValueKind::unsignedInt;
    else if constexpr (std::is_same_v<Promoted, long>) return LogValueKind::signedLong;
    else if constexpr (std::is_same_v<Promoted, unsigned long>) return LogValueKind::unsignedLong;
    else if constexpr (std::is_same_v<Promoted, long long>) return LogValueKind::signedLongLong;
    else if constexpr (std::is_same_v<Promoted, unsigned long long>) return LogValueKind::unsignedLongLong;
    else return LogValueKind::unsupported;
}

// A bool or a character is no number a format should print.
template <class T>
constexpr LogValueKind logValueKind() {
    using Value = std::remove_cvref_t<T>;
    if constexpr (std::is_same_v<Value, bool> || std::is_same_v<Value, char>) return LogValueKind::unsupported;
    else if constexpr (std::is_integral_v<Value>) return promotedKind<decltype(+Value{})>();
    else if constexpr (std::is_convertible_v<const T&, std::string_view>) return LogValueKind::text;
    else return LogValueKind::unsupported;
}

// The kind a conversion reads, from its length modifier and letter.
constexpr LogValueKind expectedKind(std::string_view length, char conversion) {
    const bool isSigned = conversion == 'd' || conversion == 'i';
    if (conversion == 's') return length.empty() ? LogValueKind::text : LogValueKind::unsupported;
    if (!isSigned && conversion != 'u' && conversion != 'x') return LogValueKind::unsupported;
    if (length.empty()) return isSigned ? LogValueKind::signedInt : LogValueKind::unsignedInt;
    if (length == "l") return isSigned ? LogValueKind::signedLong : LogValueKind::unsignedLong;
    if (length == "ll") return isSigned ? LogValueKind::signedLongLong : LogValueKind::unsignedLongLong;
    if (length == "z") return isSigned ? logValueKind<std::make_signed_t<std::size_t>>() : logValueKind<std::size_t>();
    return LogValueKind::unsupported;
}

// True when `format` is in the language above and its conversions read
// exactly `values`, in order.
constexpr bool logFormatMatches(std::string_view format, std::span<const LogValueKind> values) {
    std::size_t next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') continue;
        std::size_t j = i + 1;
        if (j < format.size() && format[j] == '%') {
            i = j;
            continue;
        }
        if (j < format.size() && format[j] == '{') {
            const std::size_t close = format.find('}', j);
            if (close == std::string_view::npos) return false;
            const std::string_view mark = format.substr(j + 1, close - j - 1);
            if (mark != "public" && mark != "private") return false;
            j = close + 1;
        }
        const std::size_t lengthStart = j;
        while (j < format.size() && (format[j] == 'l' || format[j] == 'z')) ++j;
        if (j >= format.size()) return false;
        const LogValueKind wanted = expectedKind(format.substr(lengthStart, j - lengthStart), format[j]);
        if (wanted == LogValueKind::unsupported || next >= values.size() || values[next] != wanted) return false;
        ++next;
        i = j;
    }
    return next == values.size();
}

// Not constexpr: reaching it while checking a format is what fails the build,
// and its name is what the compiler reports.
void logFormatDoesNotMatchItsArguments();

// A format literal checked against the types of the values logged with it,
// as std::format_string is: the check runs wherever one is made.
template <class... Args>
class CheckedLogFormat {
public:
    template <std::size_t N>
    consteval CheckedLogFormat(const char (&literal)[N]) : text_(literal, N - 1) {
        constexpr LogValueKind kKinds[] = {logValueKind<Args>()..., LogValueKind::unsupported};
        if (!logFormatMatches(text_, std::span<const LogValueKind>(kKinds, sizeof...(Args))))
            logFormatDoesNotMatchItsArguments();
    }

    constexpr std::string_view text() const { return text_; }

private:
    std::string_view text_;
};

template <class... Args>
using LogFormat = CheckedLogFormat<std::type_identity_t<Args>...>;

}  // namespace smcd::platform
