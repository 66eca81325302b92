// The five kinds of read the benchmarks measure, one attribute of each, and for each the bare
// control-device exchange that its read makes: the same control word, request code and index
// fields, sent with SendDriverRequest and nothing else around it.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "dmi/dmi.h"
#include "driver/driver_channel.h"

namespace korvo::bench {

struct ReadKind {
    std::string_view name;
    DmiId group;
    DmiId attribute;
    uint32_t row;              // the key the read passes (0: no key list, which asks for row 1)
    DmiUnsigned expectedType;  // what the record's type code must be after the read
    bool asksDriver;           // false: a constant, answered without an exchange
    uint16_t requestCode;      // the request the read sends
    bool sendsRowIndex;        // row index R - 1 in byte 11 and in the u32 at 16
};

inline constexpr uint32_t kBenchTableRow = 42;

inline constexpr std::array<ReadKind, 5> kReadKinds = {{
    {"constant", 1, 1, 0, MIF_INTEGER, false, 0, false},
    {"driver-integer", 7, 1, 0, MIF_INTEGER, true, 57, false},
    {"counter64", 4, 6, 0, MIF_COUNTER64, true, 3, false},
    {"display-string", 4, 2, 0, MIF_DISPLAYSTRING, true, 1, false},
    {"table-row", 13, 2, kBenchTableRow, MIF_INTEGER64, true, 27, true},
}};

// The kind of the given name; null when there is none.
const ReadKind* FindReadKind(std::string_view name);

// Runs the reads and exchanges of one kind. Everything a read needs is built once here, so
// that each call does only the read (and the freeing of its record) or only the exchange.
class KindRunner {
  public:
    explicit KindRunner(const ReadKind& kind);
    KindRunner(const KindRunner&) = delete;
    KindRunner& operator=(const KindRunner&) = delete;

    const ReadKind& kind() const { return kind_; }

    // ReadAttribute (get) of the kind's attribute, then DmiFreeAttributeData of its record.
    DmiErrorStatus Read();

    // SendDriverRequest with the request the read sends; true when the driver answered.
    bool Exchange();

    // Reads once and exchanges once, and checks the outcome: the read's status and type code,
    // the driver's answer, no block left behind. Throws std::runtime_error saying what failed.
    void Check();

  private:
    const ReadKind& kind_;
    DmiAttributeData keyEntry_{};
    DmiAttributeValues keys_{};
    DriverRequest request_{};
};

}  // namespace korvo::bench
