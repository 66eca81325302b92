// The console's window commands: post-timer and post-message, through the window sockets.
#include <charconv>
#include <string>
#include <string_view>

#include "console/console.h"
#include "console/console_commands.h"
#include "console/window_messages.h"
#include "management/attribute_values.h"

namespace korvo::console {

using management::UsageError;
using nlohmann::json;

namespace {

// A message number or parameter: decimal or 0x hex, a negative number as its two's
// complement in `bits` bits.
uint64_t ParseWord(const std::string& text, unsigned bits, const char* what) {
    std::string_view digits = text;
    const bool negative = !digits.empty() && digits.front() == '-';
    if (negative) {
        digits.remove_prefix(1);
    }
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    uint64_t value = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    const uint64_t mask = bits == 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
    const uint64_t largestNegative = uint64_t{1} << (bits - 1);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
        (!negative && value > mask) || (negative && value > largestNegative)) {
        throw UsageError(std::string("bad ") + what + " \"" + text + "\": give a " +
                         std::to_string(bits) + "-bit number (decimal or 0x hexadecimal)");
    }
    return negative ? (~value + 1) & mask : value;
}

}  // namespace

int Console::Post(const std::string& className, const WindowMessage& message, const char* name) {
    const std::string path = PostWindowMessage(className, message);
    const json document{{"class", className},
                        {"message", message.message},
                        {"wParam", message.wParam},
                        {"lParam", message.lParam},
                        {"socket", path}};
    Show(document, [&] { text_.Posted(document, name); });
    return kExitSuccess;
}

int Console::PostTimer() {
    return Post(line_.windowClass.value_or(kAgentWindowClass), {kWmTimer, 0, 0}, "WM_TIMER");
}

int Console::PostMessage() {
    const std::string& name = line_.arguments[1];
    WindowMessage message;
    const auto named = WindowMessageByName(name);
    if (!named && !name.empty() && (name[0] < '0' || name[0] > '9') && name[0] != '-') {
        throw UsageError("unknown message name \"" + name + "\": give one of " +
                         WindowMessageNames() + ", or a 32-bit number");
    }
    message.message = named ? *named : static_cast<uint32_t>(ParseWord(name, 32, "message"));
    if (line_.arguments.size() > 2) {
        message.wParam = ParseWord(line_.arguments[2], 64, "WPARAM");
    }
    if (line_.arguments.size() > 3) {
        message.lParam = ParseWord(line_.arguments[3], 64, "LPARAM");
    }
    return Post(line_.arguments[0], message, named ? name.c_str() : nullptr);
}

}  // namespace korvo::console
