#include "platform/log/request_log_lines.h"

namespace smcd::platform {
namespace {

thread_local RequestLogLines* current = nullptr;

}  // namespace

RequestLogLines::RequestLogLines(const Logger& logger, std::string_view request, std::size_t most)
    : logger_(logger), request_(request), most_(most), outer_(current) {
    current = this;
}

RequestLogLines::~RequestLogLines() {
    current = outer_;
    if (leftOut_ > 0)
        SMCD_LOG(logger_, leftOutLevel_, "%{public}zu more lines of request %{public}s not logged", leftOut_,
                 request_);
}

bool RequestLogLines::admit(LogLevel level) {
    RequestLogLines* const request = current;
    if (!request) return true;
    if (request->written_ < request->most_) {
        ++request->written_;
        return true;
    }
    ++request->leftOut_;
    if (level == LogLevel::error) request->leftOutLevel_ = LogLevel::error;
    return false;
}

RequestLogLines::Exempt::Exempt() : saved_(current) { current = nullptr; }

RequestLogLines::Exempt::~Exempt() { current = saved_; }

}  // namespace smcd::platform
