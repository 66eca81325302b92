// The adapter pair's state and the driver's answers to the request catalogue, the probe, the
// fault modes and the request log (their text: adapter_text.cpp). Everything here runs under
// one mutex, because the server answers several connections at once.
#include "adapter_model.h"

#include <algorithm>

namespace korvo::adapter {
namespace {

// Start value and growth per tick of each counter. Several start just below 2^32 and cross it
// within seconds, so a reader that drops the high half shows it; some are already above it.
struct CounterSeed {
    uint64_t start;
    uint64_t perTick;
};

constexpr std::array<CounterSeed, kPortCounterCount> kPortCounterSeeds = {{
    {0xFFFF8000u, 800},   // 3
    {0xFFFE0000u, 1500},  // 4
    {0, 0},               // 5
    {0, 0},               // 6
    {17, 0},              // 7
    {0x123456789ull, 2},  // 8
    {4, 0},               // 9
    {0, 1},               // 10
}};

constexpr std::array<CounterSeed, kStatCounterCount> kStatCounterSeeds = {{
    {0xFFF00000u, 150000},  // 34
    {0xFFE00000u, 180000},  // 35
    {0xFFFFC000u, 900},     // 36
    {0xFFFF0000u, 1100},    // 37
    {0x100001388ull, 300},  // 38
    {120000, 40},           // 39
    {3, 0},                 // 40
    {0, 0},                 // 41
    {58, 1},                // 42
    {0, 0},                 // 43
    {0, 0},                 // 44
    {2, 0},                 // 45
    {0, 0},                 // 46
    {0xFFFFFF00u, 25},      // 47
    {0, 0},                 // 48
    {9, 0},                 // 49
    {0, 0},                 // 50
    {1, 0},                 // 51
    {0, 0},                 // 52
    {0, 1},                 // 53
}};

constexpr uint32_t kDefaultTable125ValueBase = 1000;

// A 64-bit counter's reply: the low half at kValueOffset, the high half at kHighOffset.
void PutU64(Record& record, uint64_t value) {
    PutU32(record.data() + kValueOffset, static_cast<uint32_t>(value));
    PutU32(record.data() + kHighOffset, static_cast<uint32_t>(value >> 32));
}

// A read of request 30 or 32 carries the row index in both byte 11 and the u32 at 16; a write
// carries the new value in the u32. The two forms look alike when a write's value equals its row
// index: such a write would store the value the read form already reports for an untouched row,
// and is taken as a read.
bool IsReadForm(uint8_t row, uint32_t value) {
    return value == row;
}

// A request's buffers: the control word in, the request record out.
bool HasRequestSizes(std::span<const uint8_t> input, std::span<const uint8_t> output) {
    return input.size() == kControlWordSize && output.size() == kRecordSize;
}

// The log line of one call before its outcome: its sizes and, when its buffers have the
// request's sizes, the control word and the request's code, index byte and value.
ServedRequest DescribeCall(uint64_t sequence, uint32_t controlCode, std::span<const uint8_t> input,
                           std::span<const uint8_t> output) {
    ServedRequest served;
    served.sequence = sequence;
    served.controlCode = controlCode;
    served.inputLength = static_cast<uint32_t>(input.size());
    served.outputLength = static_cast<uint32_t>(output.size());
    if (HasRequestSizes(input, output)) {
        served.controlWord = GetU32(input.data());
        served.requestCode = GetU16(output.data() + kCodeOffset);
        served.indexByte = output[kIndexOffset];
        served.value = GetU32(output.data() + kValueOffset);
    }
    return served;
}

// Which fault setting governs a well-formed call: the probe's, its request code's, or, for an
// unknown control code or word, only `all`.
int FaultTargetOf(uint32_t controlCode, const ServedRequest& served) {
    if (controlCode != kQueryGlobalStatsCode) {
        return kFaultAll;
    }
    if (served.controlWord == kProbeControlWord) {
        return kFaultProbe;
    }
    if (served.controlWord == kRequestControlWord) {
        return served.requestCode;
    }
    return kFaultAll;
}

// The probe's reply: the driver's signature in the data bytes and the status "done".
void FillProbeReply(Record& record) {
    std::fill(record.begin() + kDataOffset, record.end(), 0);
    std::copy(kDriverSignature.begin(), kDriverSignature.end(), record.begin() + kDataOffset);
    PutU16(record.data() + kStatusOffset, kStatusOk);
}

// A call that ends with the record's status "failed" written back whole.
Outcome FailWithStatus(Record& record, Answer& answer, Outcome outcome) {
    PutU16(record.data() + kStatusOffset, kStatusFailed);
    answer.output.assign(record.begin(), record.end());
    answer.bytesReturned = kRecordSize;
    return outcome;
}

}  // namespace

AdapterModel::AdapterModel() {
    SetVariant(5);
    adapters_[0] = {{0x02, 0x4B, 0x4F, 0x52, 0x56, 0x01}, {0, 11}};
    adapters_[1] = {{0x02, 0x4B, 0x4F, 0x52, 0x56, 0x02}, {0, 12}};
    for (const auto& [requestCode, value] : kPlainValueStarts) {
        plainValues_[requestCode] = value;
    }
    for (size_t i = 0; i < kPortCounterCount; ++i) {
        portCounters_[i] = kPortCounterSeeds[i].start;
    }
    for (size_t i = 0; i < kStatCounterCount; ++i) {
        statCounters_[i] = kStatCounterSeeds[i].start;
    }
    multicast_ = {{0x01, 0x00, 0x5E, 0x00, 0x00, 0x01},
                  {0x01, 0x00, 0x5E, 0x7F, 0xFF, 0xFA},
                  {0x33, 0x33, 0x00, 0x00, 0x00, 0x01}};
    for (uint32_t row = 0; row < kTable125Rows; ++row) {
        table125Values_[row] = kDefaultTable125ValueBase + row;
        table125Indexes_[row] = row + 1;
    }
    for (uint32_t row = 0; row < kTable35Rows; ++row) {
        table35Indexes_[row] = row + 1;
    }
}

void AdapterModel::SetVariant(int ndisMajor) {
    ndisMajor_ = ndisMajor;
    if (ndisMajor == 4) {
        driverName_ = "KORVOm4";
        driverVersion_ = {0x07, 0x10, 0x02};
    } else {
        driverName_ = "KORVOm5";
        driverVersion_ = {0x15, 0x01, 0x03};
    }
}

Answer AdapterModel::Serve(uint32_t controlCode, std::span<const uint8_t> input,
                           std::span<const uint8_t> output) {
    std::lock_guard lock(mutex_);
    Answer answer;
    answer.output.assign(output.begin(), output.end());
    answer.served = DescribeCall(++sequence_, controlCode, input, output);
    answer.served.outcome = AnswerCall(controlCode, input, output, answer);
    Log(answer.served);
    return answer;
}

// What the driver does with the call: whether it replies, fails or writes the output buffer,
// and how the call ended.
Outcome AdapterModel::AnswerCall(uint32_t controlCode, std::span<const uint8_t> input,
                                 std::span<const uint8_t> output, Answer& answer) {
    if (!answering_) {
        answer.action = Action::Close;
        return Outcome::NotAnswering;
    }
    if (!HasRequestSizes(input, output)) {
        // What a driver does with buffers of the wrong size: the call fails, nothing written.
        answer.success = 0;
        return Outcome::BadLengths;
    }

    Record record;
    std::copy(output.begin(), output.end(), record.begin());
    const int target = FaultTargetOf(controlCode, answer.served);
    switch (FaultFor(target)) {
        case FaultMode::Healthy:
            break;
        case FaultMode::Status:
            return FailWithStatus(record, answer, Outcome::FaultStatus);
        case FaultMode::Call:
            answer.success = 0;
            return Outcome::FaultCall;
        case FaultMode::Empty:
            return Outcome::FaultEmpty;
        case FaultMode::Silent:
            answer.action = Action::NoReply;
            return Outcome::FaultSilent;
    }

    if (target == kFaultAll) {
        return FailWithStatus(record, answer, Outcome::UnknownRequest);
    }
    if (target == kFaultProbe) {
        FillProbeReply(record);
    } else if (const Outcome outcome = Dispatch(record); outcome != Outcome::Answered) {
        return FailWithStatus(record, answer, outcome);
    }
    answer.output.assign(record.begin(), record.end());
    answer.bytesReturned = kRecordSize;
    return Outcome::Answered;
}

// Fills the reply of one catalogue request into `record`, or says why there is none: each kind
// of request has its own answer.
Outcome AdapterModel::Dispatch(Record& record) {
    const Request request{GetU16(record.data() + kCodeOffset), record[kIndexOffset],
                          GetU32(record.data() + kValueOffset)};
    const RequestCodes* codes = FindRequestCodes(request.code);
    if (codes == nullptr) {
        return Outcome::UnknownRequest;
    }
    Record reply{};
    PutU16(reply.data() + kCodeOffset, request.code);
    PutU16(reply.data() + kStatusOffset, kStatusOk);
    Outcome outcome = Outcome::UnknownRequest;
    switch (codes->kind) {
        case RequestKind::Address:
            outcome = AnswerAddress(request, reply);
            break;
        case RequestKind::Counter:
            outcome = AnswerCounter(request, reply);
            break;
        case RequestKind::Entry:
            outcome = AnswerMulticastEntry(request, reply);
            break;
        case RequestKind::Driver:
            outcome = AnswerDriver(request, reply);
            break;
        case RequestKind::Value:
            outcome = AnswerValue(request, reply);
            break;
        case RequestKind::TableRow:
            outcome = AnswerTableRow(request, reply);
            break;
        case RequestKind::Failover:
            outcome = AnswerFailover(request, reply);
            break;
    }
    if (outcome == Outcome::Answered) {
        record = reply;
    }
    return outcome;
}

Outcome AdapterModel::AnswerAddress(const Request& request, Record& reply) const {
    const AdapterPort* adapter = request.code == code::kAddress1   ? &adapters_[0]
                                 : request.code == code::kAddress2 ? &adapters_[1]
                                                                   : nullptr;
    if (adapter == nullptr) {
        return Outcome::UnknownRequest;
    }
    std::copy(adapter->address.begin(), adapter->address.end(), reply.begin() + kDataOffset);
    return Outcome::Answered;
}

uint64_t* AdapterModel::CounterFor(uint32_t requestCode) {
    if (requestCode >= code::kFirstPortCounter && requestCode <= code::kLastPortCounter) {
        return &portCounters_[requestCode - code::kFirstPortCounter];
    }
    if (requestCode >= code::kFirstStatCounter && requestCode <= code::kLastStatCounter) {
        return &statCounters_[requestCode - code::kFirstStatCounter];
    }
    return nullptr;
}

Outcome AdapterModel::AnswerCounter(const Request& request, Record& reply) {
    const uint64_t* counter = CounterFor(request.code);
    if (counter == nullptr) {
        return Outcome::UnknownRequest;
    }
    PutU64(reply, *counter);
    return Outcome::Answered;
}

// The table ends in an entry marked kNoSuchEntry, not in a failed request.
Outcome AdapterModel::AnswerMulticastEntry(const Request& request, Record& reply) const {
    if (request.code != code::kMulticastEntry) {
        return Outcome::UnknownRequest;
    }
    if (request.row < multicast_.size()) {
        const MacAddress& address = multicast_[request.row];
        std::copy(address.begin(), address.end(), reply.begin() + kDataOffset);
        reply[kIndexOffset] = request.row;
    } else {
        reply[kIndexOffset] = kNoSuchEntry;
    }
    return Outcome::Answered;
}

Outcome AdapterModel::AnswerDriver(const Request& request, Record& reply) const {
    if (request.code == code::kDriverVersion) {
        std::copy(driverVersion_.begin(), driverVersion_.end(), reply.begin() + kDataOffset);
    } else if (request.code == code::kDriverName) {
        std::copy(driverName_.begin(), driverName_.end(), reply.begin() + kDataOffset);
    } else {
        return Outcome::UnknownRequest;
    }
    return Outcome::Answered;
}

Outcome AdapterModel::AnswerValue(const Request& request, Record& reply) const {
    uint32_t value = 0;
    if (request.code == code::kState) {
        value = state_;
    } else if (request.code == code::kLanguage) {
        value = language_;
    } else if (const auto plain = plainValues_.find(request.code); plain != plainValues_.end()) {
        value = plain->second;
    } else {
        return Outcome::UnknownRequest;
    }
    PutU32(reply.data() + kValueOffset, value);
    return Outcome::Answered;
}

// Per-row requests echo their row index in byte kIndexOffset.
Outcome AdapterModel::AnswerTableRow(const Request& request, Record& reply) {
    enum class Access { Read, ReadOrWrite, Write };
    const struct {
        uint16_t code;
        std::span<uint32_t> values;
        Access access;
    } columns[] = {
        {code::kTable125Value, table125Values_, Access::Read},
        {code::kTable35Value, table35Values_, Access::Read},
        {code::kTable125Index, table125Indexes_, Access::ReadOrWrite},
        {code::kTable35Index, table35Indexes_, Access::ReadOrWrite},
        {code::kTable35ValueWrite, table35Values_, Access::Write},
    };
    for (const auto& column : columns) {
        if (column.code != request.code) {
            continue;
        }
        if (request.row >= column.values.size()) {
            return Outcome::NoSuchRow;
        }
        uint32_t& cell = column.values[request.row];
        if (column.access == Access::Write ||
            (column.access == Access::ReadOrWrite && !IsReadForm(request.row, request.value))) {
            cell = request.value;
        }
        reply[kIndexOffset] = request.row;
        PutU32(reply.data() + kValueOffset, cell);
        return Outcome::Answered;
    }
    return Outcome::UnknownRequest;
}

Outcome AdapterModel::AnswerFailover(const Request& request, Record& reply) const {
    if (request.code == code::kFailoverStatus) {
        const AdapterPort& active = adapters_[activeAdapter_ - 1];
        reply[kDataOffset] = static_cast<uint8_t>(activeAdapter_);
        reply[kFailoverByteOffset] = static_cast<uint8_t>(failoverCount_);
        reply[kFailoverBusOffset] = active.pci.bus;
        PutU32(reply.data() + kValueOffset, active.pci.device);
        return Outcome::Answered;
    }
    if (request.code == code::kAdapterLocation) {
        if (request.value >= adapters_.size()) {
            return Outcome::NoSuchRow;
        }
        reply[kDataOffset] = adapters_[request.value].pci.bus;
        PutU32(reply.data() + kValueOffset, adapters_[request.value].pci.device);
        return Outcome::Answered;
    }
    return Outcome::UnknownRequest;
}

FaultMode AdapterModel::FaultFor(int target) const {
    if (const auto fault = faults_.find(target); fault != faults_.end()) {
        return fault->second;
    }
    return allFault_.value_or(FaultMode::Healthy);
}

void AdapterModel::AdvanceTrafficTo(uint64_t tick) {
    std::lock_guard lock(mutex_);
    if (tick <= trafficTick_) {
        return;
    }
    const uint64_t ticks = tick - trafficTick_;
    trafficTick_ = tick;
    for (size_t i = 0; i < kPortCounterCount; ++i) {
        portCounters_[i] += kPortCounterSeeds[i].perTick * ticks;
    }
    for (size_t i = 0; i < kStatCounterCount; ++i) {
        statCounters_[i] += kStatCounterSeeds[i].perTick * ticks;
    }
}

bool AdapterModel::FailOver(int adapter) {
    if (adapter != 1 && adapter != 2) {
        return false;
    }
    std::lock_guard lock(mutex_);
    if (adapter != activeAdapter_) {
        activeAdapter_ = adapter;
        ++failoverCount_;
    }
    return true;
}

void AdapterModel::SetFault(int target, FaultMode mode) {
    std::lock_guard lock(mutex_);
    if (target == kFaultAll) {
        faults_.clear();
        allFault_.reset();
        if (mode != FaultMode::Healthy) {
            allFault_ = mode;
        }
        return;
    }
    if (mode == FaultMode::Healthy && !allFault_) {
        faults_.erase(target);
    } else {
        faults_[target] = mode;
    }
}

void AdapterModel::SetAnswering(bool answering) {
    std::lock_guard lock(mutex_);
    answering_ = answering;
}

int AdapterModel::ActiveAdapter() const {
    std::lock_guard lock(mutex_);
    return activeAdapter_;
}

std::vector<ServedRequest> AdapterModel::RecentRequests(size_t count) const {
    std::lock_guard lock(mutex_);
    const size_t first = log_.size() > count ? log_.size() - count : 0;
    return {log_.begin() + static_cast<std::ptrdiff_t>(first), log_.end()};
}

void AdapterModel::Log(const ServedRequest& request) {
    if (log_.size() == kLogCapacity) {
        log_.pop_front();
    }
    log_.push_back(request);
}

}  // namespace korvo::adapter
