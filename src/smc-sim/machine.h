#pragma once

// A model of the System Management Controller as the AppleSMC user client
// exposes it: typed keys answering the key-info, read and write commands of
// the 80-byte struct call, fans whose actual speed follows either the
// written target (manual mode) or the thermal manager (automatic mode), and
// a thermal manager that may hold the fans until "Ftst" is raised.
// Thread-safe: the simulator's socket loop and tests may use it together.

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/smc/smc_user_client.h"
#include "smc-sim/profiles.h"
#include "smc-sim/sim_clock.h"

namespace smcd::smcsim {

// Result byte of an answer, as the controller reports it.
enum class SMCResult : std::uint8_t {
    success = 0x00,
    badCommand = 0x82,  // also a write the thermal manager refuses
    keyNotFound = 0x84,
    keyNotReadable = 0x85,
    keyNotWritable = 0x86,
    keySizeMismatch = 0x87,
};

enum class SMCCommandCode : std::uint8_t { readBytes = 5, writeBytes = 6, readKeyInfo = 9 };

// The model's attribute byte: which of read and write the key allows.
inline constexpr std::uint8_t kAttributeReadable = 0x80;
inline constexpr std::uint8_t kAttributeWritable = 0x40;

inline constexpr std::size_t kMaximumValueSize = 32;
inline constexpr std::chrono::milliseconds kDefaultHoldTime{3500};

// One struct call as the model saw it.
struct CallRecord {
    std::uint8_t command = 0;
    std::string key;
    std::uint32_t size = 0;
    std::vector<std::uint8_t> written;  // the value bytes of a write
    SMCResult result = SMCResult::success;
};

struct KeyReading {
    std::string type;
    std::vector<std::uint8_t> bytes;
};

enum class ControlError { unknownKey, badValue, sizeMismatch, badType };
using ControlOutcome = std::optional<ControlError>;  // nothing = done

class Machine {
public:
    explicit Machine(const Profile& profile, SimClock& clock = steadySimClock());

    // One struct call: the request block in, the answer block out.
    platform::SMCStructBytes handle(const platform::SMCStructBytes& request);

    // --- the control side, for tests and people ---
    const Profile& profile() const { return profile_; }
    // The key's type and bytes; nothing when it does not exist or is made absent.
    std::optional<KeyReading> read(std::string_view key);
    std::optional<double> value(std::string_view key);
    ControlOutcome setNumber(std::string_view key, double value);
    ControlOutcome setBytes(std::string_view key, const std::vector<std::uint8_t>& bytes);
    // Creates the key, or replaces its type and value and makes it present.
    ControlOutcome define(std::string_view key, std::string_view type, const std::vector<std::uint8_t>& bytes);
    ControlOutcome setAbsent(std::string_view key, bool absent);
    // The size key-info reports instead of the real one; nothing restores it.
    ControlOutcome setReportedSize(std::string_view key, std::optional<std::uint32_t> size);
    ControlOutcome setRefuseWrites(std::string_view key, bool refuse);
    ControlOutcome setAccess(std::string_view key, bool readable, bool writable);
    void setHoldTime(std::chrono::milliseconds hold);
    std::chrono::milliseconds holdTime() const;
    bool fansHeld();
    void setDynamics(bool enabled);

    // The most recent struct calls, oldest first (bounded).
    std::vector<CallRecord> journal() const;
    void clearJournal();
    std::uint64_t callCount() const;
    struct WriteCount {
        std::uint64_t attempts = 0;
        std::uint64_t accepted = 0;
    };
    WriteCount writeCount(std::string_view key) const;

private:
    struct Key {
        std::string type;
        std::vector<std::uint8_t> bytes;
        bool readable = true;
        bool writable = true;
        bool absent = false;
        bool refuseWrites = false;
        std::optional<std::uint32_t> reportedSize;
        WriteCount writes;
    };

    void addKey(const std::string& name, std::string_view type, std::vector<std::uint8_t> bytes, bool writable);
    Key* visibleKey(const std::string& name);
    Key* anyKey(std::string_view name);
    bool isModeKey(const std::string& name) const;
    bool heldAt(SimClock::TimePoint now) const;
    SMCResult write(const std::string& name, Key& key, std::uint32_t size, const std::uint8_t* payload);
    void afterStore(const std::string& name, SimClock::TimePoint now);
    void advance(SimClock::TimePoint now);
    double thermalManagerSpeed(std::size_t fan, const SimulatedFanProfile& limits, SimClock::TimePoint now) const;
    void record(CallRecord entry);

    const Profile profile_;
    SimClock& clock_;
    mutable std::mutex mutex_;
    std::map<std::string, Key, std::less<>> keys_;
    SimClock::TimePoint start_;
    SimClock::TimePoint lastAdvance_;
    std::vector<double> actualRPM_;
    std::optional<SimClock::TimePoint> unlockRaisedAt_;
    std::chrono::milliseconds holdTime_ = kDefaultHoldTime;
    bool dynamics_ = true;
    std::deque<CallRecord> journal_;
    std::uint64_t calls_ = 0;
};

}  // namespace smcd::smcsim
