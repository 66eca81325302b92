// The DMI entry points of Wcdmi.dll for registration and version, indications, configuration
// and events, and the library's own Korvo exports; the one Provider of the process is made here.
// Each entry point checks its arguments, hands the work to the Provider, and never lets a C++
// exception cross the C boundary. The other entry points are in entry_points_database.cpp,
// entry_points_attributes.cpp and entry_points_memory.cpp, all in the frame of
// entry_point_frame.h.
#include <algorithm>
#include <cstring>

#include "entry_point_frame.h"
#include "korvo/management_protocol.h"

namespace korvo::sp::entry {

// Made when the library is loaded (so KORVO_SP_FAIL_ALLOCATION is read then), and destroyed
// at process exit, which stops the management socket's threads.
Provider provider;

}  // namespace korvo::sp::entry

namespace {

using namespace korvo::sp;
using namespace korvo::sp::entry;

constexpr const char* kDescription = "KORVO DMI service provider stand-in for Linux";

}  // namespace

// ---- Registration and version ---------------------------------------------------------------

KORVO_EXPORT DmiErrorStatus DmiRegister(DmiHandle* handle) {
    return Guarded("DmiRegister", [&] { return provider.RegisterManagement(handle); });
}

KORVO_EXPORT DmiErrorStatus DmiRemoteRegister(DmiNodeAddress* node, DmiHandle* handle) {
    // Every node is this machine: the stand-in has no remote service providers to reach.
    (void)node;
    return Guarded("DmiRemoteRegister", [&] { return provider.RegisterManagement(handle); });
}

KORVO_EXPORT DmiErrorStatus DmiUnregister(DmiHandle handle) {
    return Guarded("DmiUnregister", [&] { return provider.UnregisterManagement(handle); });
}

KORVO_EXPORT DmiErrorStatus DmiGetVersion(DmiHandle handle, DmiString** dmiLevel,
                                          DmiString** description, DmiFileTypeList** fileTypes) {
    return Guarded("DmiGetVersion", [&]() -> DmiErrorStatus {
        if (dmiLevel == nullptr || description == nullptr || fileTypes == nullptr) {
            return DMIERR_ILL_FORMED_COMMAND;
        }
        if (!provider.IsManagementHandle(handle)) {
            return DMIERR_ILLEGAL_HANDLE;
        }
        if (const DmiErrorStatus refused = provider.RefusedStatus("getversion")) {
            return refused;
        }
        DmiHeap& heap = provider.heap();
        if (heap.TakeStep()) {
            return DMIERR_OUT_OF_MEMORY;
        }
        DmiString* level = heap.NewString(kDmiLevel, "DmiGetVersion");
        DmiString* text = heap.NewString(kDescription, "DmiGetVersion");
        auto* types = static_cast<DmiFileTypeList*>(
            heap.NewList(RecordType::FileTypeList, 1, sizeof(DmiUnsigned), alignof(DmiUnsigned),
                         "DmiGetVersion"));
        if (level == nullptr || text == nullptr || types == nullptr) {
            heap.FreeRecord(level, RecordType::String, "DmiGetVersion");
            heap.FreeRecord(text, RecordType::String, "DmiGetVersion");
            heap.FreeRecord(types, RecordType::FileTypeList, "DmiGetVersion");
            return DMIERR_OUT_OF_MEMORY;
        }
        types->list[0] = DMI_MIF_FILE_NAME;
        *dmiLevel = level;
        *description = text;
        *fileTypes = types;
        return DMIERR_NO_ERROR;
    });
}

KORVO_EXPORT DmiErrorStatus DmiSetDefaultNode(DmiNodeAddress* node, DmiUnsigned* reserved) {
    // There is only the local node, so every node is already the default.
    (void)node;
    (void)reserved;
    return DMIERR_NO_ERROR;
}

KORVO_EXPORT DmiErrorStatus DmiRegisterCi(DmiRegisterInfo* registration, DmiHandle* handle,
                                          DmiString** dmiLevel) {
    return Guarded("DmiRegisterCi",
                   [&] { return provider.RegisterCi(registration, handle, dmiLevel); });
}

KORVO_EXPORT DmiErrorStatus DmiUnregisterCi(DmiHandle handle) {
    return Guarded("DmiUnregisterCi", [&] { return provider.UnregisterCi(handle); });
}

// ---- Indications and configuration ----------------------------------------------------------

KORVO_EXPORT DmiErrorStatus DmiSetIndicationCallbacks(DmiHandle handle, DmiIndicationFn onEvent,
                                                      void* context) {
    return Guarded("DmiSetIndicationCallbacks",
                   [&] { return provider.SetIndicationCallback(handle, onEvent, context); });
}

KORVO_EXPORT DmiErrorStatus DmiIndicationListen(DmiHandle handle) {
    return Guarded("DmiIndicationListen", [&] { return provider.SetListening(handle, true); });
}

KORVO_EXPORT DmiErrorStatus DmiStopIndicationListening(DmiHandle handle) {
    return Guarded("DmiStopIndicationListening",
                   [&] { return provider.SetListening(handle, false); });
}

KORVO_EXPORT DmiErrorStatus DmiGetSubscriptionAddress(DmiHandle handle, DmiString** address) {
    return Guarded("DmiGetSubscriptionAddress", [&]() -> DmiErrorStatus {
        if (address == nullptr) {
            return DMIERR_ILL_FORMED_COMMAND;
        }
        *address = nullptr;
        if (!provider.IsManagementHandle(handle)) {
            return DMIERR_ILLEGAL_HANDLE;
        }
        return HandOut(address, [] {
            return provider.heap().NewString(korvo::management::SocketPath(),
                                             "DmiGetSubscriptionAddress");
        });
    });
}

KORVO_EXPORT DmiErrorStatus DmiSetConfig(DmiHandle handle, DmiString* language) {
    return Guarded("DmiSetConfig", [&]() -> DmiErrorStatus {
        std::string text;
        std::string error;
        if (language == nullptr || !provider.heap().ReadString(language, &text, &error)) {
            return DMIERR_ILL_FORMED_COMMAND;
        }
        return provider.SetLanguage(handle, text);
    });
}

KORVO_EXPORT DmiErrorStatus DmiGetConfig(DmiHandle handle, DmiString** language) {
    return Guarded("DmiGetConfig", [&]() -> DmiErrorStatus {
        if (language == nullptr) {
            return DMIERR_ILL_FORMED_COMMAND;
        }
        *language = nullptr;
        std::string text;
        if (const DmiErrorStatus status = provider.GetLanguage(handle, &text)) {
            return status;
        }
        return HandOut(language, [&] { return provider.heap().NewString(text, "DmiGetConfig"); });
    });
}

// ---- Events ---------------------------------------------------------------------------------

KORVO_EXPORT DmiErrorStatus DmiOriginateEvent(DmiId compId, DmiString* language,
                                              DmiTimestamp* timestamp, DmiMultiRowData* rows) {
    (void)language;  // events are kept as the instrumentation wrote them
    return Guarded("DmiOriginateEvent",
                   [&] { return provider.OriginateEvent(compId, timestamp, rows); });
}

// ---- The library's own exports --------------------------------------------------------------

KORVO_EXPORT unsigned KorvoSpOutstandingBlocks(void) {
    return static_cast<unsigned>(provider.heap().Stats().outstanding.size());
}

KORVO_EXPORT unsigned KorvoSpBadFrees(void) {
    return static_cast<unsigned>(provider.heap().Stats().badFrees);
}

KORVO_EXPORT size_t KorvoSpReport(char* buffer, size_t capacity) {
    try {
        const std::string text = provider.ReportText();
        if (buffer != nullptr && capacity > 0) {
            const size_t copied = std::min(text.size(), capacity - 1);
            std::memcpy(buffer, text.data(), copied);
            buffer[copied] = '\0';
        }
        return text.size();
    } catch (const std::exception&) {
        return 0;
    }
}

KORVO_EXPORT void KorvoSpFailAllocation(unsigned n) {
    provider.heap().FailAllocation(n);
}

KORVO_EXPORT void KorvoSpShutdown(void) {
    provider.Shutdown();
}
