// The adapter model behind the kernel driver: the same AdapterModel and control commands that the
// socket simulator serves, reached through plain calls. Compiled without exceptions; the kernel
// runtime in kernel_runtime.cpp supplies what the C++ library would otherwise take from a
// user-mode runtime.
#include "model_bridge.h"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "adapter_model.h"
#include "control_command.h"
#include "device_protocol.h"

namespace {

namespace adapter = korvo::adapter;

adapter::AdapterModel* theModel = nullptr;

constexpr uint64_t k100nsPerSecond = 10'000'000;
constexpr uint64_t k100nsPerTick = k100nsPerSecond / adapter::kTicksPerSecond;

std::vector<std::string> SplitWords(const char* line, size_t length) {
    std::vector<std::string> words;
    std::string word;
    for (size_t i = 0; i <= length; ++i) {
        const char c = i < length ? line[i] : ' ';
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\0') {
            if (!word.empty()) {
                words.push_back(std::move(word));
                word.clear();
            }
        } else {
            word += c;
        }
    }
    return words;
}

size_t WriteReply(bool done, const std::string& text, uint8_t* reply, size_t capacity) {
    if (capacity == 0) {
        return 0;
    }
    reply[0] = done ? KORVO_COMMAND_DONE : KORVO_COMMAND_REFUSED;
    const size_t textLength = std::min(text.size(), capacity - 1);
    std::copy_n(text.begin(), textLength, reply + 1);
    return textLength + 1;
}

}  // namespace

int KorvoCreateModel() {
    void* memory = KorvoAllocate(sizeof(adapter::AdapterModel));
    if (memory == nullptr) {
        return 0;
    }
    theModel = new (memory) adapter::AdapterModel();
    return 1;
}

void KorvoDestroyModel() {
    if (theModel != nullptr) {
        theModel->~AdapterModel();
        KorvoFree(theModel);
        theModel = nullptr;
    }
}

KorvoCallResult KorvoServeCall(uint32_t controlCode, const uint8_t* input, size_t inputLength,
                               uint8_t* output, size_t outputLength, uint64_t elapsed100ns) {
    theModel->AdvanceTrafficTo(elapsed100ns / k100nsPerTick);
    const adapter::Answer answer =
        theModel->Serve(controlCode, {input, inputLength}, {output, outputLength});
    switch (answer.action) {
        case adapter::Action::Close:
            return {KorvoCallNotAnswering, 0};
        case adapter::Action::NoReply:
            return {KorvoCallPending, 0};
        case adapter::Action::Reply:
            break;
    }
    if (answer.success == 0) {
        return {KorvoCallFailed, 0};
    }
    const size_t copied = std::min(answer.output.size(), outputLength);
    std::copy_n(answer.output.begin(), copied, output);
    return {KorvoCallCompleted,
            static_cast<uint32_t>(std::min<size_t>(answer.bytesReturned, outputLength))};
}

size_t KorvoRunControlCommand(const char* line, size_t lineLength, uint8_t* reply,
                              size_t replyCapacity) {
    const std::vector<std::string> words = SplitWords(line, lineLength);
    std::string error;
    const auto command = adapter::ParseControlCommand(words, error);
    if (!command) {
        return WriteReply(false, error, reply, replyCapacity);
    }
    if (command->verb == adapter::ControlVerb::Quit) {
        return WriteReply(false,
                          "the driver does not quit on command; stop it with: sc stop korvodmi",
                          reply, replyCapacity);
    }
    const adapter::ControlResult result = adapter::ExecuteControlCommand(*theModel, *command);
    return WriteReply(result.ok, result.text, reply, replyCapacity);
}
