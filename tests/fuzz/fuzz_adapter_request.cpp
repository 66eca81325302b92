// Fuzzes the simulated adapter's model: a fresh model per input, optionally set up from a
// settings file the input writes, then a sequence of steps chosen by the input: device requests
// with any control code, control word, buffer lengths and record; control command lines as the
// simulator receives them; settings; traffic ticks. Every answer keeps the buffer's size, never
// claims more bytes than the buffer holds, and a request that is answered keeps its code; a
// command that parses reads back the same from its own formatted line.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "adapter_model.h"
#include "control_command.h"
#include "settings_file.h"

namespace {

using namespace korvo::adapter;

constexpr size_t kMaxSteps = 64;
constexpr size_t kMaxSettingsFileLength = 2048;
constexpr size_t kMaxLineLength = 96;
constexpr uint16_t kHighestUsualCode = 70;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

void Check(bool holds, const char* what) {
    if (!holds) {
        Fail(what);
    }
}

// Words of a line split the way the simulator's control socket splits them.
std::vector<std::string> SplitWords(const std::string& line) {
    std::istringstream stream(line);
    std::vector<std::string> words;
    for (std::string word; stream >> word;) {
        words.push_back(word);
    }
    return words;
}

// The settings file the input writes: one per process, removed at exit.
class ScratchFile {
  public:
    ScratchFile() {
        const char* tmp = getenv("TMPDIR");
        path_ = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") +
                "/korvo-fuzz-settings-XXXXXX";
        const int fd = mkstemp(path_.data());
        Check(fd >= 0, "cannot make the settings file");
        close(fd);
    }
    ~ScratchFile() { std::remove(path_.c_str()); }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

const std::string& SettingsFilePath() {
    static const ScratchFile file;
    return file.path();
}

void LoadSettingsFile(AdapterModel& model, const std::string& text) {
    {
        std::ofstream file(SettingsFilePath(), std::ios::binary | std::ios::trunc);
        file << text;
    }
    std::vector<Setting> settings;
    const std::string readError = ReadSettingsFile(SettingsFilePath(), settings);
    if (readError.empty()) {
        (void)ApplySettings(model, settings);
    }
}

void ServeRequest(AdapterModel& model, FuzzedDataProvider& input) {
    const auto shape = input.ConsumeIntegral<uint8_t>();
    const uint32_t controlCode =
        (shape & 0x03) != 0 ? kQueryGlobalStatsCode : input.ConsumeIntegral<uint32_t>();
    const size_t inputLength =
        (shape & 0x0C) != 0 ? kControlWordSize : input.ConsumeIntegralInRange<size_t>(0, 8);
    const size_t outputLength =
        (shape & 0x30) != 0 ? kRecordSize : input.ConsumeIntegralInRange<size_t>(0, 32);
    uint32_t controlWord = kRequestControlWord;
    if ((shape & 0xC0) == 0x40) {
        controlWord = kProbeControlWord;
    } else if ((shape & 0xC0) == 0x80) {
        controlWord = input.ConsumeIntegral<uint32_t>();
    }
    std::vector<uint8_t> in(inputLength);
    for (size_t i = 0; i < in.size(); ++i) {
        in[i] = static_cast<uint8_t>(controlWord >> (8 * (i % 4)));
    }
    std::vector<uint8_t> out = input.ConsumeBytes<uint8_t>(outputLength);
    out.resize(outputLength);
    uint16_t requestCode = 0;
    if (outputLength >= 2) {
        requestCode = input.ConsumeBool()
                          ? input.ConsumeIntegralInRange<uint16_t>(0, kHighestUsualCode)
                          : input.ConsumeIntegral<uint16_t>();
        PutU16(&out[kCodeOffset], requestCode);
    }

    const Answer answer = model.Serve(controlCode, in, out);

    Check(answer.output.size() == out.size(), "the answer changed the buffer's size");
    Check(answer.bytesReturned <= out.size(), "more bytes returned than the buffer holds");
    Check(!FormatServedRequest(answer.served).empty(), "an empty request log line");
    const bool wellFormed = inputLength == kControlWordSize && outputLength == kRecordSize;
    if (answer.action == Action::Reply && answer.success != 0 && wellFormed &&
        answer.bytesReturned == kRecordSize) {
        const uint16_t status = korvo::GetU16(&answer.output[kStatusOffset]);
        const uint16_t answeredCode = korvo::GetU16(&answer.output[kCodeOffset]);
        Check(status == kStatusOk || status == kStatusFailed, "a status other than 0 or 0xFFFF");
        Check(answeredCode == requestCode, "the answer carries another request code");
    }
}

void RunCommandLine(AdapterModel& model, FuzzedDataProvider& input) {
    static const char* const kWords[] = {"failover", "fail",   "heal",  "stop", "start",
                                         "log",      "status", "set",   "quit", "1",
                                         "2",        "56",     "probe", "all",  "silent",
                                         "status",   "call",   "empty", "20",   "state=3"};
    std::string line;
    const size_t count = input.ConsumeIntegralInRange<size_t>(0, 4);
    for (size_t i = 0; i < count; ++i) {
        line += input.ConsumeBool()
                    ? kWords[input.ConsumeIntegralInRange<size_t>(0, std::size(kWords) - 1)]
                    : input.ConsumeRandomLengthString(kMaxLineLength);
        line += ' ';
    }
    const std::vector<std::string> words = SplitWords(line);
    std::string error;
    const auto command = ParseControlCommand(words, error);
    if (!command) {
        Check(!error.empty(), "a refused command without a reason");
        return;
    }
    const std::string formatted = FormatControlCommand(*command);
    std::string secondError;
    const auto again = ParseControlCommand(SplitWords(formatted), secondError);
    Check(again.has_value(), "a formatted command does not parse");
    Check(FormatControlCommand(*again) == formatted, "a formatted command reads back otherwise");
    const ControlResult result = ExecuteControlCommand(model, *command);
    Check(result.ok || !result.text.empty(), "a failed command without a reason");
}

void ApplyOneSetting(AdapterModel& model, FuzzedDataProvider& input) {
    static const char* const kKeys[] = {
        "variant",      "active",          "state",        "language",
        "driver.name",  "driver.version",  "multicast",    "adapter1.address",
        "adapter2.bus", "adapter1.device", "value.23",     "value.0x3d",
        "counter.3",    "counter.53",      "counter.0x22", "value.99"};
    const std::string key =
        input.ConsumeBool() ? kKeys[input.ConsumeIntegralInRange<size_t>(0, std::size(kKeys) - 1)]
                            : input.ConsumeRandomLengthString(kMaxLineLength);
    const std::string value = input.ConsumeRandomLengthString(kMaxLineLength);
    (void)model.ApplySetting(key, value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    AdapterModel model;
    if (input.ConsumeBool()) {
        LoadSettingsFile(model, input.ConsumeRandomLengthString(kMaxSettingsFileLength));
    }
    for (size_t step = 0; step < kMaxSteps && input.remaining_bytes() > 0; ++step) {
        switch (input.ConsumeIntegralInRange(0, 7)) {
            case 0:
            case 1:
            case 2:
            case 3:
                ServeRequest(model, input);
                break;
            case 4:
                RunCommandLine(model, input);
                break;
            case 5:
                ApplyOneSetting(model, input);
                break;
            case 6:
                model.AdvanceTrafficTo(input.ConsumeIntegral<uint64_t>());
                break;
            default:
                Check(!model.DescribeStatus().empty(), "an empty status");
                break;
        }
    }
    return 0;
}
