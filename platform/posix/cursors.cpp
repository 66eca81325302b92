// Icons, cursors and stock brushes: the host has no screen, so each is a distinct token that
// the window calls accept and nothing ever draws. SetCursor still remembers which is current.
#include <atomic>

#include "platform.h"

namespace {

// Tokens are small integers in ranges of their own, like the handles Win32 hands out.
constexpr uintptr_t kIconTokens = 0x20000;
constexpr uintptr_t kCursorTokens = 0x30000;
constexpr uintptr_t kStockObjectTokens = 0x40000;
constexpr uintptr_t kNamedResourceToken = 0xFFFF;  // any resource named by a string
constexpr int kLastStockObject = 19;               // DC_PEN

std::atomic<HCURSOR> currentCursor{nullptr};

uintptr_t ResourceToken(uintptr_t base, LPCSTR name) {
    return base + (IS_INTRESOURCE(name) ? reinterpret_cast<uintptr_t>(name) : kNamedResourceToken);
}

}  // namespace

extern "C" {

HICON LoadIconA(HINSTANCE /*instance*/, LPCSTR name) {
    if (name == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return reinterpret_cast<HICON>(ResourceToken(kIconTokens, name));
}

HCURSOR LoadCursorA(HINSTANCE /*instance*/, LPCSTR name) {
    if (name == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return reinterpret_cast<HCURSOR>(ResourceToken(kCursorTokens, name));
}

HCURSOR SetCursor(HCURSOR cursor) {
    return currentCursor.exchange(cursor);
}

HGDIOBJ GetStockObject(int object) {
    if (object < 0 || object > kLastStockObject) {
        return nullptr;
    }
    return reinterpret_cast<HGDIOBJ>(kStockObjectTokens + static_cast<uintptr_t>(object));
}

}  // extern "C"
