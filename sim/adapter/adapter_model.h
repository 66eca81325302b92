// The simulated adapter pair and its driver: the state of two adapters in a failover pair and
// the answer to one control-device request. Plain C++ with no platform calls, so that the socket
// server here and a kernel driver elsewhere can serve the same model.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "korvo/driver_protocol.h"

namespace korvo::adapter {

// The model serves the driver protocol: its codes, offsets and marks are the model's own words.
using namespace korvo::driver;

inline constexpr size_t kPortCounterCount = code::kLastPortCounter - code::kFirstPortCounter + 1;
inline constexpr size_t kStatCounterCount = code::kLastStatCounter - code::kFirstStatCounter + 1;
// Small enough that no row index of the table can be mistaken for the 0x55 end mark.
inline constexpr size_t kMaxMulticastEntries = 32;
// The name and its NUL must end within the record's data bytes (offsets 4 to 23).
inline constexpr size_t kMaxDriverNameLength = kRecordSize - kDataOffset - 1;
// Counters grow once per tick; the server ticks ten times a second.
inline constexpr unsigned kTicksPerSecond = 10;

// The plain 32-bit values the model answers, and their start values (which the settings can
// change), in request code order.
inline constexpr std::pair<uint16_t, uint32_t> kPlainValueStarts[] = {
    {code::kDriverValue14, 100},        {code::kDriverCounter21, 0},
    {code::kDriverValue23, 0x000105DC},  // the agent keeps the low 16 bits only: 1500
    {code::kDriverValue24, 1},          {code::kDriverValue25, 2},
    {code::kDriverValue57, 1},          {code::kDriverValue58, 3},
    {code::kDriverValue61, 1},
};

using Record = std::array<uint8_t, kRecordSize>;
using MacAddress = std::array<uint8_t, 6>;

// What the device does with one request.
enum class Action {
    Reply,    // send the success word, the bytes-returned count and the output buffer
    NoReply,  // keep the connection and never answer this request
    Close,    // close the connection without answering
};

// How a request ended, as the request log shows it.
enum class Outcome {
    Answered,        // status 0
    NoSuchRow,       // status 0xFFFF: a row index outside the table
    UnknownRequest,  // status 0xFFFF: unknown request code, control word or control code
    BadLengths,      // success word 0: input not 4 bytes or output not 24
    FaultStatus,     // the fault modes set from the command line
    FaultCall,
    FaultEmpty,
    FaultSilent,
    NotAnswering,  // the simulator is stopped: connection closed
};
std::string_view OutcomeName(Outcome outcome);

// A failure that the command line imposes on requests.
enum class FaultMode {
    Healthy,  // answer normally
    Status,   // status 0xFFFF, success word 1, 24 bytes
    Call,     // success word 0, 0 bytes, buffer unchanged
    Empty,    // success word 1, 0 bytes, buffer unchanged
    Silent,   // no answer at all
};
std::string_view FaultModeName(FaultMode mode);
std::optional<FaultMode> ParseFaultMode(std::string_view name);

// Which requests a fault applies to: one request code (0 to 65535), the probe, or everything.
inline constexpr int kFaultProbe = -1;
inline constexpr int kFaultAll = -2;
// A request code the driver answers, the probe or "all"; nothing for a code it does not know,
// whose requests fail anyway.
std::optional<int> ParseFaultTarget(std::string_view text);
std::string FaultTargetName(int target);

// One line of the request log: the request as it came in and how it ended.
struct ServedRequest {
    uint64_t sequence = 0;
    uint32_t controlCode = 0;
    uint32_t inputLength = 0;
    uint32_t outputLength = 0;
    uint32_t controlWord = 0;
    uint16_t requestCode = 0;
    uint8_t indexByte = 0;  // byte 11
    uint32_t value = 0;     // u32 at 16
    Outcome outcome = Outcome::Answered;
};
std::string FormatServedRequest(const ServedRequest& request);

struct Answer {
    Action action = Action::Reply;
    uint32_t success = 1;
    uint32_t bytesReturned = 0;
    std::vector<uint8_t> output;  // the output buffer after the call
    ServedRequest served;
};

struct PciLocation {
    uint8_t bus = 0;
    uint32_t device = 0;
};

struct AdapterPort {
    MacAddress address{};
    PciLocation pci;
};

class AdapterModel {
  public:
    AdapterModel();

    // One device I/O control call: the control code, the input buffer and the output buffer as
    // they stand before the call. Logged, whatever its outcome.
    Answer Serve(uint32_t controlCode, std::span<const uint8_t> input,
                 std::span<const uint8_t> output);

    // Lets traffic flow up to `tick` ticks after start; earlier ticks than seen before are ignored.
    void AdvanceTrafficTo(uint64_t tick);

    // Makes adapter 1 or 2 active; a change counts as a failover. False for other numbers.
    bool FailOver(int adapter);

    // `target` is a request code, kFaultProbe or kFaultAll. Healing one code while `all` fails
    // exempts that code; healing `all` clears every fault.
    void SetFault(int target, FaultMode mode);

    // While not answering, every request closes its connection without a reply.
    void SetAnswering(bool answering);
    int ActiveAdapter() const;

    // Changes a start value by its settings-file key; an empty result means done, otherwise it
    // says what was wrong.
    std::string ApplySetting(std::string_view key, std::string_view value);

    // Every settings key and what its value must be, one line each after `indent`, for --help.
    static std::string SettingsHelp(std::string_view indent);

    // The last `count` requests served, oldest first.
    std::vector<ServedRequest> RecentRequests(size_t count) const;

    // The model's main values, as lines of text for people.
    std::string DescribeStatus() const;

    static constexpr size_t kLogCapacity = 1000;

  private:
    enum class SettingOutcome { Applied, BadValue, BadIndex };
    // A start value that can be set by key: the table of them is in adapter_settings.cpp.
    struct SettingDefinition {
        std::string_view key;    // N stands for a number: "adapterN.address", "value.N"
        std::string_view value;  // what a value must be ('#' stands for `bound`)
        size_t bound;
        std::string_view index;  // which numbers N may be; empty for a key without N
        // Called under the model's lock with the text in place of N; `why` may say more than
        // the value's description when it refuses.
        SettingOutcome (*apply)(AdapterModel& model, std::string_view index, std::string_view value,
                                std::string* why);

        std::string Describe() const;  // `value` with `bound` in place
    };
    static const SettingDefinition kSettings[];

    struct DriverVariant {
        int ndisMajor;
        const char* name;
        std::array<uint8_t, 3> version;  // reply bytes 4, 5, 6: build, minor, major
    };

    // One request of the catalogue as it came in, and the answers for each kind of request:
    // each fills `reply` and says how the request ended.
    struct Request {
        uint16_t code;
        uint8_t row;     // byte kIndexOffset
        uint32_t value;  // the u32 at kValueOffset
    };
    Outcome AnswerAddress(const Request& request, Record& reply) const;
    Outcome AnswerCounter(const Request& request, Record& reply);
    Outcome AnswerMulticastEntry(const Request& request, Record& reply) const;
    Outcome AnswerDriver(const Request& request, Record& reply) const;
    Outcome AnswerValue(const Request& request, Record& reply) const;
    Outcome AnswerTableRow(const Request& request, Record& reply);
    Outcome AnswerFailover(const Request& request, Record& reply) const;

    AdapterPort* AdapterByIndex(std::string_view index);  // "1" or "2"
    uint64_t* CounterFor(uint32_t requestCode);           // null for a code of no counter
    FaultMode FaultFor(int target) const;
    Outcome AnswerCall(uint32_t controlCode, std::span<const uint8_t> input,
                       std::span<const uint8_t> output, Answer& answer);
    Outcome Dispatch(Record& record);
    void SetVariant(int ndisMajor);
    void Log(const ServedRequest& request);

    mutable std::mutex mutex_;

    int ndisMajor_ = 5;
    std::string driverName_;
    std::array<uint8_t, 3> driverVersion_{};
    std::array<AdapterPort, 2> adapters_{};
    int activeAdapter_ = 1;
    unsigned failoverCount_ = 0;
    uint32_t state_ = 2;
    uint32_t language_ = 1;
    std::map<uint16_t, uint32_t> plainValues_;
    std::array<uint64_t, kPortCounterCount> portCounters_{};
    std::array<uint64_t, kStatCounterCount> statCounters_{};
    uint64_t trafficTick_ = 0;
    std::vector<MacAddress> multicast_;
    std::array<uint32_t, kTable125Rows> table125Values_{};
    std::array<uint32_t, kTable125Rows> table125Indexes_{};
    std::array<uint32_t, kTable35Rows> table35Values_{};
    std::array<uint32_t, kTable35Rows> table35Indexes_{};

    bool answering_ = true;
    std::optional<FaultMode> allFault_;
    std::map<int, FaultMode> faults_;

    std::deque<ServedRequest> log_;
    uint64_t sequence_ = 0;
};

// Parses "02:4B:4F:52:56:01", "02-4B-4F-52-56-01" or "024B4F525601".
std::optional<MacAddress> ParseMacAddress(std::string_view text);
std::string FormatMacAddress(const MacAddress& address);  // twelve upper-case digits

}  // namespace korvo::adapter
