// The handles the service provider gives out: management applications' registrations (with
// their event callbacks and language) and instrumentations' DmiRegisterCi records.
#include "provider.h"

namespace korvo::sp {

bool CiRegistration::Serves(DmiId groupId, DmiId attributeId) const {
    for (const DmiAccessData& pair : access) {
        if (pair.groupId == groupId && (pair.attributeId == 0 || pair.attributeId == attributeId)) {
            return true;
        }
    }
    return false;
}

// ---- Management registrations --------------------------------------------------------------

DmiErrorStatus Provider::RegisterManagement(DmiHandle* handle) {
    if (handle == nullptr) {
        return DMIERR_ILL_FORMED_COMMAND;
    }
    if (const DmiErrorStatus refused = RefusedStatus("register")) {
        Log("DmiRegister refused as KORVO_SP_REFUSE asks");
        return refused;
    }
    if (Root().empty()) {
        Log("DmiRegister: WIN32DMIPATH is not set; the service provider keeps its database and "
            "its management socket there, so set it to a directory");
        return DMIERR_DATABASE_CORRUPT;
    }
    {
        std::lock_guard lock(mutex_);
        *handle = nextHandle_++;
        managementClients_[*handle].language = kLanguage;
    }
    Note("began a management registration (handle " + std::to_string(*handle) + ")");
    StartServer();
    return DMIERR_NO_ERROR;
}

DmiErrorStatus Provider::UnregisterManagement(DmiHandle handle) {
    if (const DmiErrorStatus refused = RefusedStatus("unregister")) {
        return refused;
    }
    std::lock_guard lock(mutex_);
    if (managementClients_.erase(handle) != 1) {
        return DMIERR_ILLEGAL_HANDLE;
    }
    Note("ended the management registration (handle " + std::to_string(handle) + ")");
    return DMIERR_NO_ERROR;
}

bool Provider::IsManagementHandle(DmiHandle handle) {
    std::lock_guard lock(mutex_);
    return managementClients_.contains(handle);
}

DmiErrorStatus Provider::SetIndicationCallback(DmiHandle handle, DmiIndicationFn callback,
                                               void* context) {
    std::lock_guard lock(mutex_);
    const auto client = managementClients_.find(handle);
    if (client == managementClients_.end()) {
        return DMIERR_ILLEGAL_HANDLE;
    }
    client->second.callback = callback;
    client->second.context = context;
    return DMIERR_NO_ERROR;
}

DmiErrorStatus Provider::SetListening(DmiHandle handle, bool listening) {
    std::lock_guard lock(mutex_);
    const auto client = managementClients_.find(handle);
    if (client == managementClients_.end()) {
        return DMIERR_ILLEGAL_HANDLE;
    }
    if (listening && client->second.callback == nullptr) {
        return DMIERR_ILL_FORMED_COMMAND;  // nothing to deliver events to
    }
    client->second.listening = listening;
    return DMIERR_NO_ERROR;
}

DmiErrorStatus Provider::SetLanguage(DmiHandle handle, const std::string& language) {
    std::lock_guard lock(mutex_);
    const auto client = managementClients_.find(handle);
    if (client == managementClients_.end()) {
        return DMIERR_ILLEGAL_HANDLE;
    }
    client->second.language = language;
    return DMIERR_NO_ERROR;
}

DmiErrorStatus Provider::GetLanguage(DmiHandle handle, std::string* language) {
    std::lock_guard lock(mutex_);
    const auto client = managementClients_.find(handle);
    if (client == managementClients_.end()) {
        return DMIERR_ILLEGAL_HANDLE;
    }
    *language = client->second.language;
    return DMIERR_NO_ERROR;
}

// ---- Instrumentation registrations ---------------------------------------------------------

DmiErrorStatus Provider::RegisterCi(const DmiRegisterInfo* registration, DmiHandle* handle,
                                    DmiString** dmiLevel) {
    if (registration == nullptr || handle == nullptr) {
        Log("DmiRegisterCi: no registration record, or nowhere to put the handle");
        return DMIERR_ILL_FORMED_COMMAND;
    }
    if (const DmiErrorStatus refused = RefusedStatus("registerci")) {
        Log("DmiRegisterCi refused as KORVO_SP_REFUSE asks");
        return refused;
    }
    CiRegistration ci;
    if (const DmiErrorStatus status = ReadRegistration(registration, &ci)) {
        return status;
    }
    DmiString* level = nullptr;
    if (dmiLevel != nullptr) {
        if (heap_.TakeStep() || (level = heap_.NewString(kDmiLevel, "DmiRegisterCi")) == nullptr) {
            return DMIERR_OUT_OF_MEMORY;
        }
    }
    std::string conflict;
    {
        std::lock_guard lock(mutex_);
        conflict = Conflict(ci);
        if (conflict.empty()) {
            Note("registered the instrumentation of component " + std::to_string(ci.componentId) +
                 " (handle " + std::to_string(nextHandle_) + ", " +
                 std::to_string(ci.access.size()) + " group and attribute pairs)");
            ci.handle = nextHandle_++;
            *handle = ci.handle;
            registrations_.emplace(ci.handle, std::move(ci));
        }
    }
    if (!conflict.empty()) {
        heap_.FreeRecord(level, RecordType::String, "DmiRegisterCi");
        Log("DmiRegisterCi: " + conflict);
        return DMIERR_ILL_FORMED_COMMAND;
    }
    if (dmiLevel != nullptr) {
        *dmiLevel = level;
    }
    StartServer();
    return DMIERR_NO_ERROR;
}

// Copies what the provider keeps of the caller's record, and checks it against the MIF.
DmiErrorStatus Provider::ReadRegistration(const DmiRegisterInfo* registration, CiRegistration* ci) {
    std::string error;
    DmiRegisterInfo record;
    if (!heap_.CopyOut(registration, sizeof record, &record, &error)) {
        Log("DmiRegisterCi: the registration record cannot be read: " + error);
        return DMIERR_ILL_FORMED_COMMAND;
    }
    const Found found = Find(record.compId);
    if (found.status == DMIERR_COMPONENT_NOT_FOUND) {
        Log("DmiRegisterCi: " + found.error);
    }
    if (found.status != DMIERR_NO_ERROR) {
        return found.status;
    }
    if (record.ciGetAttribute == nullptr) {
        Log("DmiRegisterCi: the registration has no get-attribute callback");
        return DMIERR_ILL_FORMED_COMMAND;
    }
    DmiAccessDataList accessList;
    if (record.accessData == nullptr) {
        Log("DmiRegisterCi: the registration has no access list");
        return DMIERR_ILL_FORMED_COMMAND;
    }
    if (!heap_.CopyOut(record.accessData, sizeof accessList, &accessList, &error)) {
        Log("DmiRegisterCi: the access list cannot be read: " + error);
        return DMIERR_ILL_FORMED_COMMAND;
    }
    if (accessList.size == 0 || accessList.size > kMaxListEntries) {
        Log("DmiRegisterCi: an access list of " + std::to_string(accessList.size) +
            " entries; it must name between 1 and " + std::to_string(kMaxListEntries) + " pairs");
        return DMIERR_ILL_FORMED_COMMAND;
    }
    ci->componentId = record.compId;
    ci->get = record.ciGetAttribute;
    ci->getNext = record.ciGetNextAttribute;
    ci->set = record.ciSetAttribute;
    ci->access.resize(accessList.size);
    if (!heap_.CopyOut(accessList.list, accessList.size * sizeof(DmiAccessData), ci->access.data(),
                       &error)) {
        Log("DmiRegisterCi: the access list's entries cannot be read: " + error);
        return DMIERR_ILL_FORMED_COMMAND;
    }
    for (const DmiAccessData& pair : ci->access) {
        const mif::Group* group = found.component->FindGroup(pair.groupId);
        if (group == nullptr) {
            Log("DmiRegisterCi: the access list names group " + std::to_string(pair.groupId) +
                ", which component " + std::to_string(record.compId) + " does not have");
            return DMIERR_GROUP_NOT_FOUND;
        }
        if (pair.attributeId != 0 && group->FindAttribute(pair.attributeId) == nullptr) {
            Log("DmiRegisterCi: the access list names " + PairText(pair.groupId, pair.attributeId) +
                ", which the MIF does not have");
            return DMIERR_ATTRIBUTE_NOT_FOUND;
        }
    }
    return DMIERR_NO_ERROR;
}

// What another registration of the same component already serves of `ci`'s pairs (the last
// such pair); empty when nothing.
std::string Provider::Conflict(const CiRegistration& ci) {
    std::string conflict;
    for (const auto& [otherHandle, other] : registrations_) {
        if (other.componentId != ci.componentId) {
            continue;
        }
        for (const DmiAccessData& pair : ci.access) {
            for (const DmiAccessData& taken : other.access) {
                if (taken.groupId == pair.groupId &&
                    (taken.attributeId == 0 || pair.attributeId == 0 ||
                     taken.attributeId == pair.attributeId)) {
                    conflict = PairText(pair.groupId, pair.attributeId) + " of component " +
                               std::to_string(ci.componentId) +
                               " is already served by the instrumentation of handle " +
                               std::to_string(otherHandle);
                }
            }
        }
    }
    return conflict;
}

DmiErrorStatus Provider::UnregisterCi(DmiHandle handle) {
    if (const DmiErrorStatus refused = RefusedStatus("unregisterci")) {
        return refused;
    }
    std::unique_lock noCalls(callGate_);  // the calls in flight end first
    std::lock_guard lock(mutex_);
    const auto registration = registrations_.find(handle);
    if (registration == registrations_.end()) {
        return DMIERR_ILLEGAL_HANDLE;
    }
    // A note, not a refusal: who administers the machine sees the instrumentation go.
    Note("unregistered the instrumentation of component " +
         std::to_string(registration->second.componentId) + " (handle " + std::to_string(handle) +
         ")");
    registrations_.erase(registration);
    return DMIERR_NO_ERROR;
}

}  // namespace korvo::sp
