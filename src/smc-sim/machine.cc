#include "smc-sim/machine.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "smc-sim/value_codec.h"

namespace smcd::smcsim {
namespace {

// Where the fields sit in the 80-byte block.
constexpr std::size_t kKeyOffset = 0;
constexpr std::size_t kSizeOffset = 28;
constexpr std::size_t kTypeOffset = 32;
constexpr std::size_t kAttributesOffset = 36;
constexpr std::size_t kResultOffset = 40;
constexpr std::size_t kCommandOffset = 42;
constexpr std::size_t kPayloadOffset = 48;

constexpr std::size_t kJournalLimit = 4096;
// Time constant of a fan spinning towards its target.
constexpr double kSpinTimeConstantSeconds = 1.2;
constexpr double kThermalCycleSeconds = 45.0;

std::uint32_t load32(const platform::SMCStructBytes& block, std::size_t offset) {
    return static_cast<std::uint32_t>(block[offset]) | static_cast<std::uint32_t>(block[offset + 1]) << 8 |
           static_cast<std::uint32_t>(block[offset + 2]) << 16 | static_cast<std::uint32_t>(block[offset + 3]) << 24;
}

void store32(platform::SMCStructBytes& block, std::size_t offset, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) block[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::string fanKeyName(std::size_t fan, std::string_view suffix) {
    return "F" + std::to_string(fan) + std::string(suffix);
}

double seconds(SimClock::TimePoint::duration duration) { return std::chrono::duration<double>(duration).count(); }

}  // namespace

Machine::Machine(const Profile& profile, SimClock& clock)
    : profile_(profile), clock_(clock), start_(clock.now()), lastAdvance_(start_) {
    addKey("FNum", kTypeUInt8, {static_cast<std::uint8_t>(profile_.fans.size())}, false);
    if (profile_.hasUnlockKey) addKey("Ftst", kTypeUInt8, {0}, true);
    for (std::size_t fan = 0; fan < profile_.fans.size(); ++fan) {
        const SimulatedFanProfile& spec = profile_.fans[fan];
        const double idle = thermalManagerSpeed(fan, spec, start_);
        actualRPM_.push_back(idle);
        const auto speed = [&](double rpm) { return encodeValue(profile_.speedType, rpm).value(); };
        addKey(fanKeyName(fan, "Ac"), profile_.speedType, speed(idle), false);
        addKey(fanKeyName(fan, "Mn"), profile_.speedType, speed(spec.minRPM), true);
        addKey(fanKeyName(fan, "Mx"), profile_.speedType, speed(spec.maxRPM), false);
        addKey(fanKeyName(fan, "Tg"), profile_.speedType, speed(0), true);
        if (profile_.modeSuffix) addKey(fanKeyName(fan, *profile_.modeSuffix), kTypeUInt8, {0}, true);
    }
}

void Machine::addKey(const std::string& name, std::string_view type, std::vector<std::uint8_t> bytes, bool writable) {
    Key key;
    key.type = std::string(type);
    key.bytes = std::move(bytes);
    key.writable = writable;
    keys_.insert_or_assign(name, std::move(key));
}

Machine::Key* Machine::anyKey(std::string_view name) {
    const auto found = keys_.find(name);
    return found == keys_.end() ? nullptr : &found->second;
}

Machine::Key* Machine::visibleKey(const std::string& name) {
    Key* key = anyKey(name);
    return key && !key->absent ? key : nullptr;
}

bool Machine::isModeKey(const std::string& name) const {
    if (!profile_.modeSuffix) return false;
    for (std::size_t fan = 0; fan < profile_.fans.size(); ++fan) {
        if (name == fanKeyName(fan, *profile_.modeSuffix)) return true;
    }
    return false;
}

bool Machine::heldAt(SimClock::TimePoint now) const {
    if (!profile_.thermalManagerHoldsFans) return false;
    return !unlockRaisedAt_ || now - *unlockRaisedAt_ < holdTime_;
}

platform::SMCStructBytes Machine::handle(const platform::SMCStructBytes& request) {
    std::lock_guard guard(mutex_);
    const auto now = clock_.now();
    advance(now);
    ++calls_;

    const std::uint32_t code = load32(request, kKeyOffset);
    const std::uint32_t size = load32(request, kSizeOffset);
    const std::uint8_t command = request[kCommandOffset];
    const std::string name = textOf(code);

    platform::SMCStructBytes answer{};
    store32(answer, kKeyOffset, code);
    CallRecord entry{command, name, size, {}, SMCResult::success};
    Key* key = visibleKey(name);

    switch (static_cast<SMCCommandCode>(command)) {
        case SMCCommandCode::readKeyInfo:
            if (!key) {
                entry.result = SMCResult::keyNotFound;
                break;
            }
            store32(answer, kSizeOffset, key->reportedSize.value_or(static_cast<std::uint32_t>(key->bytes.size())));
            store32(answer, kTypeOffset, codeOf(key->type));
            answer[kAttributesOffset] = static_cast<std::uint8_t>((key->readable ? kAttributeReadable : 0) |
                                                                  (key->writable ? kAttributeWritable : 0));
            break;
        case SMCCommandCode::readBytes:
            if (!key) {
                entry.result = SMCResult::keyNotFound;
            } else if (!key->readable) {
                entry.result = SMCResult::keyNotReadable;
            } else if (size != key->bytes.size()) {
                entry.result = SMCResult::keySizeMismatch;
            } else {
                store32(answer, kSizeOffset, size);
                std::copy(key->bytes.begin(), key->bytes.end(), answer.begin() + kPayloadOffset);
            }
            break;
        case SMCCommandCode::writeBytes:
            entry.written.assign(request.begin() + kPayloadOffset,
                                 request.begin() + kPayloadOffset + std::min<std::size_t>(size, kMaximumValueSize));
            entry.result = key ? write(name, *key, size, request.data() + kPayloadOffset) : SMCResult::keyNotFound;
            break;
        default:
            entry.result = SMCResult::badCommand;
            break;
    }
    answer[kResultOffset] = static_cast<std::uint8_t>(entry.result);
    record(std::move(entry));
    return answer;
}

SMCResult Machine::write(const std::string& name, Key& key, std::uint32_t size, const std::uint8_t* payload) {
    ++key.writes.attempts;
    if (!key.writable) return SMCResult::keyNotWritable;
    const auto now = clock_.now();
    if (key.refuseWrites || (isModeKey(name) && heldAt(now))) return SMCResult::badCommand;
    if (size != key.bytes.size()) return SMCResult::keySizeMismatch;
    std::copy(payload, payload + size, key.bytes.begin());
    ++key.writes.accepted;
    afterStore(name, now);
    return SMCResult::success;
}

void Machine::afterStore(const std::string& name, SimClock::TimePoint now) {
    const Key& key = keys_.at(name);
    if (name == "Ftst" && !key.bytes.empty()) {
        const bool raised = key.bytes.front() == 1;
        if (raised && !unlockRaisedAt_) {
            unlockRaisedAt_ = now;
        } else if (!raised && unlockRaisedAt_) {
            unlockRaisedAt_.reset();
            // The thermal manager takes every fan back when the unlock ends.
            if (profile_.thermalManagerHoldsFans && profile_.modeSuffix) {
                for (std::size_t fan = 0; fan < profile_.fans.size(); ++fan) {
                    if (Key* mode = anyKey(fanKeyName(fan, *profile_.modeSuffix))) {
                        std::fill(mode->bytes.begin(), mode->bytes.end(), 0);
                    }
                }
            }
        }
    }
    for (std::size_t fan = 0; fan < profile_.fans.size(); ++fan) {
        if (name != fanKeyName(fan, "Ac")) continue;
        const auto speed = decodeValue(key.type, key.bytes);
        if (speed && std::isfinite(*speed)) actualRPM_[fan] = *speed;
    }
}

double Machine::thermalManagerSpeed(std::size_t fan, const SimulatedFanProfile& limits, SimClock::TimePoint now) const {
    const double phase = 2 * std::numbers::pi * seconds(now - start_) / kThermalCycleSeconds + static_cast<double>(fan);
    return limits.minRPM + (limits.maxRPM - limits.minRPM) * (0.22 + 0.08 * std::sin(phase));
}

void Machine::advance(SimClock::TimePoint now) {
    if (now <= lastAdvance_) return;
    const double elapsed = seconds(now - lastAdvance_);
    lastAdvance_ = now;
    if (!dynamics_) return;

    for (std::size_t fan = 0; fan < profile_.fans.size(); ++fan) {
        const auto number = [&](std::string_view suffix) -> std::optional<double> {
            const Key* key = anyKey(fanKeyName(fan, suffix));
            if (!key) return std::nullopt;
            const auto decoded = decodeValue(key->type, key->bytes);
            return decoded && std::isfinite(*decoded) ? decoded : std::nullopt;
        };
        SimulatedFanProfile limits = profile_.fans[fan];
        const auto minimum = number("Mn");
        const auto maximum = number("Mx");
        if (minimum && maximum && *minimum <= *maximum) limits = {*minimum, *maximum};

        const Key* mode = profile_.modeSuffix ? anyKey(fanKeyName(fan, *profile_.modeSuffix)) : nullptr;
        const bool manual = mode && !mode->bytes.empty() && mode->bytes.front() == 1;
        double& actual = actualRPM_[fan];
        const double target = std::clamp(
            manual ? number("Tg").value_or(actual) : thermalManagerSpeed(fan, limits, now), limits.minRPM,
            limits.maxRPM);
        actual += (target - actual) * (1 - std::exp(-elapsed / kSpinTimeConstantSeconds));

        Key* reading = anyKey(fanKeyName(fan, "Ac"));
        if (!reading) continue;
        if (auto bytes = encodeValue(reading->type, actual); bytes && bytes->size() == reading->bytes.size()) {
            reading->bytes = std::move(*bytes);
        }
    }
}

void Machine::record(CallRecord entry) {
    journal_.push_back(std::move(entry));
    if (journal_.size() > kJournalLimit) journal_.pop_front();
}

std::optional<KeyReading> Machine::read(std::string_view name) {
    std::lock_guard guard(mutex_);
    advance(clock_.now());
    const Key* key = anyKey(name);
    if (!key || key->absent) return std::nullopt;
    return KeyReading{key->type, key->bytes};
}

std::optional<double> Machine::value(std::string_view name) {
    const auto reading = read(name);
    if (!reading) return std::nullopt;
    return decodeValue(reading->type, reading->bytes);
}

ControlOutcome Machine::setNumber(std::string_view name, double number) {
    std::lock_guard guard(mutex_);
    const auto now = clock_.now();
    advance(now);
    Key* key = anyKey(name);
    if (!key) return ControlError::unknownKey;
    if (!typeSize(key->type)) return ControlError::badType;
    auto bytes = encodeValue(key->type, number);
    if (!bytes) return ControlError::badValue;
    key->bytes = std::move(*bytes);
    afterStore(std::string(name), now);
    return std::nullopt;
}

ControlOutcome Machine::setBytes(std::string_view name, const std::vector<std::uint8_t>& bytes) {
    std::lock_guard guard(mutex_);
    const auto now = clock_.now();
    advance(now);
    Key* key = anyKey(name);
    if (!key) return ControlError::unknownKey;
    if (bytes.size() != key->bytes.size()) return ControlError::sizeMismatch;
    key->bytes = bytes;
    afterStore(std::string(name), now);
    return std::nullopt;
}

ControlOutcome Machine::define(std::string_view name, std::string_view type, const std::vector<std::uint8_t>& bytes) {
    if (name.size() != 4 || type.size() != 4) return ControlError::badType;
    if (bytes.empty() || bytes.size() > kMaximumValueSize) return ControlError::badValue;
    std::lock_guard guard(mutex_);
    const auto now = clock_.now();
    advance(now);
    const std::string key(name);
    Key& entry = keys_[key];
    entry.type = std::string(type);
    entry.bytes = bytes;
    entry.absent = false;
    afterStore(key, now);
    return std::nullopt;
}

ControlOutcome Machine::setAbsent(std::string_view name, bool absent) {
    std::lock_guard guard(mutex_);
    Key* key = anyKey(name);
    if (!key) return ControlError::unknownKey;
    key->absent = absent;
    return std::nullopt;
}

ControlOutcome Machine::setReportedSize(std::string_view name, std::optional<std::uint32_t> size) {
    std::lock_guard guard(mutex_);
    Key* key = anyKey(name);
    if (!key) return ControlError::unknownKey;
    key->reportedSize = size;
    return std::nullopt;
}

ControlOutcome Machine::setRefuseWrites(std::string_view name, bool refuse) {
    std::lock_guard guard(mutex_);
    Key* key = anyKey(name);
    if (!key) return ControlError::unknownKey;
    key->refuseWrites = refuse;
    return std::nullopt;
}

ControlOutcome Machine::setAccess(std::string_view name, bool readable, bool writable) {
    std::lock_guard guard(mutex_);
    Key* key = anyKey(name);
    if (!key) return ControlError::unknownKey;
    key->readable = readable;
    key->writable = writable;
    return std::nullopt;
}

void Machine::setHoldTime(std::chrono::milliseconds hold) {
    std::lock_guard guard(mutex_);
    holdTime_ = hold;
}

std::chrono::milliseconds Machine::holdTime() const {
    std::lock_guard guard(mutex_);
    return holdTime_;
}

bool Machine::fansHeld() {
    std::lock_guard guard(mutex_);
    return heldAt(clock_.now());
}

void Machine::setDynamics(bool enabled) {
    std::lock_guard guard(mutex_);
    advance(clock_.now());
    dynamics_ = enabled;
}

std::vector<CallRecord> Machine::journal() const {
    std::lock_guard guard(mutex_);
    return {journal_.begin(), journal_.end()};
}

void Machine::clearJournal() {
    std::lock_guard guard(mutex_);
    journal_.clear();
}

std::uint64_t Machine::callCount() const {
    std::lock_guard guard(mutex_);
    return calls_;
}

Machine::WriteCount Machine::writeCount(std::string_view name) const {
    std::lock_guard guard(mutex_);
    const auto found = keys_.find(name);
    return found == keys_.end() ? WriteCount{} : found->second.writes;
}

}  // namespace smcd::smcsim
