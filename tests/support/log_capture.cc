#include "support/log_capture.h"

namespace smcd::platform {

void CapturingSink::write(LogLevel level, std::string_view, std::string_view, std::string_view message) {
    std::lock_guard guard(mutex_);
    lines_.push_back({level, std::string(message)});
}

std::vector<CapturedLine> CapturingSink::lines() const {
    std::lock_guard guard(mutex_);
    return lines_;
}

void CapturingSink::clear() {
    std::lock_guard guard(mutex_);
    lines_.clear();
}

}  // namespace smcd::platform
