#pragma once

// The lines one request writes: the first few as they are, then one line
// with the count of the rest when the request is over. Per-item lines (an
// unknown task id, a refused path) keep their texts, but a request of a
// million items cannot flood the log and make the log system drop every
// other user's lines. The bound holds for every line written on the
// request's thread while it runs, whichever subsystem writes it.

#include <cstddef>
#include <string_view>

#include "platform/log/logger.h"

namespace smcd::platform {

class RequestLogLines {
public:
    // Bounds this thread's lines to `most` until it is destroyed; `request`
    // (fixed vocabulary, public) names it in the counting line.
    RequestLogLines(const Logger& logger, std::string_view request, std::size_t most);
    ~RequestLogLines();
    RequestLogLines(const RequestLogLines&) = delete;
    RequestLogLines& operator=(const RequestLogLines&) = delete;

    // Whether a line at `level` written on this thread now goes out; one
    // that does not is counted. Outside a request, every line goes out.
    static bool admit(LogLevel level);

    // Lines bounded already (the refusal throttle's) go out while one lives.
    class Exempt {
    public:
        Exempt();
        ~Exempt();
        Exempt(const Exempt&) = delete;
        Exempt& operator=(const Exempt&) = delete;

    private:
        RequestLogLines* saved_;
    };

private:
    const Logger& logger_;
    const std::string_view request_;
    const std::size_t most_;
    std::size_t written_ = 0;
    std::size_t leftOut_ = 0;
    LogLevel leftOutLevel_ = LogLevel::notice;
    RequestLogLines* outer_;
};

}  // namespace smcd::platform
