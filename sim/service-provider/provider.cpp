// The service provider's state and behaviour behind the DMI entry points and the management
// socket; see provider.h.
#include "provider.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <shared_mutex>
#include <sstream>

#include "dmi_status.h"
#include "korvo/management_protocol.h"
#include "sp_platform.h"
#include "sp_log.h"

namespace korvo::sp {
namespace {

constexpr const char* kLanguage = "en|US|iso8859-1";
constexpr DmiUnsigned kMaxAccessEntries = 4096;
constexpr DmiErrorStatus kDefaultRefusal = DMIERR_ILLEGAL_HANDLE;
constexpr const char* kRefusableCalls[] = {
    "register",
    "registerci",
    "unregister",
    "unregisterci",
    "addcomponent",
    "getversion",
    "listcomponentsbyclass",
    "originateevent",
};

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The entries of KORVO_SP_REFUSE: "call" or "call:status", separated by commas.
std::vector<std::pair<std::string, std::string>> RefuseEntries() {
    std::vector<std::pair<std::string, std::string>> entries;
    const char* setting = std::getenv("KORVO_SP_REFUSE");
    if (setting == nullptr) {
        return entries;
    }
    std::stringstream items(setting);
    std::string item;
    while (std::getline(items, item, ',')) {
        item = Trim(item);
        if (item.empty()) {
            continue;
        }
        const auto colon = item.find(':');
        entries.emplace_back(Trim(item.substr(0, colon)),
                             colon == std::string::npos ? "" : Trim(item.substr(colon + 1)));
    }
    return entries;
}

bool ParseStatus(const std::string& text, DmiErrorStatus* status) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 0);
    if (*end != '\0' || value == 0 || value > 0xFFFFFFFFul) {
        return false;
    }
    *status = static_cast<DmiErrorStatus>(value);
    return true;
}

AttributeValue DeclaredValue(const mif::Attribute& attribute) {
    AttributeValue value;
    value.id = attribute.id;
    value.type = mif::TypeCode(attribute.type);
    if (attribute.value->isText) {
        value.bytes = attribute.value->text;
    } else {
        value.integer = attribute.value->integer;
    }
    return value;
}

std::string PairText(DmiId groupId, DmiId attributeId) {
    return "group " + std::to_string(groupId) + " attribute " + std::to_string(attributeId);
}

// Reads a request member that must be a 32-bit unsigned number.
bool MemberId(const nlohmann::json& request, const char* name, uint32_t* id, std::string* error) {
    const auto member = request.find(name);
    if (member == request.end() || !member->is_number_unsigned() ||
        member->get<uint64_t>() > 0xFFFFFFFFull) {
        *error = std::string("\"") + name + "\" must be a number from 0 to 4294967295";
        return false;
    }
    *id = member->get<uint32_t>();
    return true;
}

nlohmann::json OutcomeJson(const Outcome& outcome) {
    nlohmann::json answer = Answer(outcome.status, outcome.error);
    if (outcome.status == DMIERR_NO_ERROR && outcome.value) {
        answer["value"] = ToJson(*outcome.value);
    }
    return answer;
}

}  // namespace

bool CiRegistration::Serves(DmiId groupId, DmiId attributeId) const {
    for (const DmiAccessData& pair : access) {
        if (pair.groupId == groupId && (pair.attributeId == 0 || pair.attributeId == attributeId)) {
            return true;
        }
    }
    return false;
}

Provider::Provider() : heap_([this](const std::string& line) { Log(line); }) {
    if (const char* fail = std::getenv("KORVO_SP_FAIL_ALLOCATION")) {
        char* end = nullptr;
        const unsigned long n = std::strtoul(fail, &end, 10);
        if (*fail == '\0' || *end != '\0' || n > 0xFFFFFFFFul) {
            LogLine("", std::string("KORVO_SP_FAIL_ALLOCATION=") + fail +
                            " is not a number; allocation failure injection stays off");
        } else {
            heap_.FailAllocation(static_cast<unsigned>(n));
        }
    }
    for (const auto& [call, status] : RefuseEntries()) {
        bool known = false;
        for (const char* refusable : kRefusableCalls) {
            known = known || strcasecmp(call.c_str(), refusable) == 0;
        }
        DmiErrorStatus ignored;
        if (!known) {
            LogLine("", "KORVO_SP_REFUSE names '" + call +
                            "', which cannot be refused; known: register, registerci, "
                            "unregister, unregisterci, addcomponent, getversion, "
                            "listcomponentsbyclass, originateevent");
        } else if (!status.empty() && !ParseStatus(status, &ignored)) {
            LogLine("", "KORVO_SP_REFUSE gives '" + status + "' for " + call +
                            ", which is not a non-zero status; 0x203 is used");
        }
    }
}

Provider::~Provider() {
    Shutdown();
    const MemoryStats stats = heap_.Stats();
    if (stats.badFrees > 0) {
        LogLine("", std::to_string(stats.badFrees) + " bad frees in this process; " +
                        std::to_string(stats.outstanding.size()) + " blocks outstanding at exit");
    }
}

bool Provider::IsDescriptor(DmiMemDsc md) const {
    return md == nullptr || md == &systemDescriptor_ || md == &clientDescriptor_;
}

DmiErrorStatus Provider::RefusedStatus(const std::string& call) const {
    for (const auto& [name, statusText] : RefuseEntries()) {
        if (strcasecmp(name.c_str(), call.c_str()) == 0) {
            DmiErrorStatus status = kDefaultRefusal;
            ParseStatus(statusText, &status);
            return status;
        }
    }
    return DMIERR_NO_ERROR;
}

std::string Provider::Root() {
    std::lock_guard lock(rootMutex_);
    if (!root_) {
        // The same path the console derives the socket from (either separator).
        std::string socket = korvo::management::SocketPath();
        std::string root = socket.substr(0, socket.size() - std::string("/dmi.sock").size());
        const char* setting = std::getenv("WIN32DMIPATH");
        root_ = (setting == nullptr || setting[0] == '\0') ? std::string() : root;
        if (!root_->empty()) {
            os::RequirePrivateDirectory(*root_);
        }
    }
    return *root_;
}

void Provider::Log(const std::string& message) {
    LogLine(Root(), message);
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
    LogNote(Root(), "ended the management registration (handle " + std::to_string(handle) + ")");
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

// ---- Database ------------------------------------------------------------------------------

std::shared_ptr<ComponentDatabase> Provider::Database(std::string* error) {
    const std::string root = Root();
    if (root.empty()) {
        *error =
            "WIN32DMIPATH is not set; the service provider keeps its database there, so "
            "set it to a directory";
        Log(*error);
        return nullptr;
    }
    std::lock_guard lock(mutex_);
    if (!database_) {
        // A damaged database is tried again at every call, so that repairing the files on
        // disk is enough.
        database_ = ComponentDatabase::Open(root, error);
        if (!database_) {
            LogLine(root, *error);
        }
    }
    return database_;
}

DmiErrorStatus Provider::AddComponent(const DmiFileDataList* files, DmiId* componentId) {
    if (const DmiErrorStatus refused = RefusedStatus("addcomponent")) {
        Log("DmiAddComponent refused as KORVO_SP_REFUSE asks");
        return refused;
    }
    if (files == nullptr || componentId == nullptr) {
        Log("DmiAddComponent: no file-data list, or nowhere to put the component id");
        return DMIERR_ILL_FORMED_COMMAND;
    }
    std::string error;
    DmiFileDataList list;
    if (!heap_.CopyOut(files, sizeof list, &list, &error)) {
        Log("DmiAddComponent: the file-data list cannot be read: " + error);
        return DMIERR_ILL_FORMED_COMMAND;
    }
    std::optional<std::string> path;
    for (DmiUnsigned i = 0; i < list.size && i < kMaxAccessEntries; ++i) {
        DmiFileDataInfo entry;
        if (!heap_.CopyOut(list.list + i, sizeof entry, &entry, &error)) {
            Log("DmiAddComponent: the file-data list cannot be read: " + error);
            return DMIERR_ILL_FORMED_COMMAND;
        }
        if (entry.fileType != DMI_MIF_FILE_NAME) {
            continue;
        }
        std::string bytes;
        if (!heap_.ReadString(entry.fileData, &bytes, &error)) {
            Log("DmiAddComponent: the MIF file name cannot be read: " + error);
            return DMIERR_ILL_FORMED_COMMAND;
        }
        path = std::move(bytes);
        break;
    }
    if (!path) {
        Log("DmiAddComponent: the file-data list has no MIF file name (file type 2)");
        return DMIERR_ILL_FORMED_COMMAND;
    }
    // C callers sometimes count the terminator into the length.
    while (!path->empty() && path->back() == '\0') {
        path->pop_back();
    }
    if (path->empty() || path->find('\0') != std::string::npos) {
        Log("DmiAddComponent: the MIF file name is empty or holds a NUL byte");
        return DMIERR_ILL_FORMED_COMMAND;
    }
    const auto database = Database(&error);
    if (!database) {
        return DMIERR_DATABASE_CORRUPT;
    }
    // The text parsed is the text kept: the file is read once.
    const std::string resolved = os::ResolvePath(*path);
    std::string text;
    if (!os::ReadWholeFile(resolved, &text, &error)) {
        Log("DmiAddComponent: cannot install " + *path + ": " + error);
        return DMIERR_DATABASE_CORRUPT;
    }
    auto parsed = mif::ParseMifText(text, resolved);
    if (!parsed) {
        Log("DmiAddComponent: cannot install " + *path + ": " + parsed.error.Describe());
        return DMIERR_DATABASE_CORRUPT;
    }
    DmiId id = 0;
    if (!database->Install(resolved, text, std::move(*parsed.component), &id, &error)) {
        Log("DmiAddComponent: cannot store " + resolved + ": " + error);
        return DMIERR_DATABASE_CORRUPT;
    }
    *componentId = id;
    LogNote(Root(), "installed " + resolved + " as component " + std::to_string(id));
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
    std::string error;
    DmiRegisterInfo record;
    if (!heap_.CopyOut(registration, sizeof record, &record, &error)) {
        Log("DmiRegisterCi: the registration record cannot be read: " + error);
        return DMIERR_ILL_FORMED_COMMAND;
    }
    const auto database = Database(&error);
    if (!database) {
        return DMIERR_DATABASE_CORRUPT;
    }
    const auto component = database->Find(record.compId);
    if (!component) {
        Log("DmiRegisterCi: component " + std::to_string(record.compId) + " is not installed");
        return DMIERR_COMPONENT_NOT_FOUND;
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
    if (accessList.size == 0 || accessList.size > kMaxAccessEntries) {
        Log("DmiRegisterCi: an access list of " + std::to_string(accessList.size) +
            " entries; it must name between 1 and 4096 pairs");
        return DMIERR_ILL_FORMED_COMMAND;
    }
    CiRegistration ci;
    ci.componentId = record.compId;
    ci.get = record.ciGetAttribute;
    ci.getNext = record.ciGetNextAttribute;
    ci.set = record.ciSetAttribute;
    ci.access.resize(accessList.size);
    if (!heap_.CopyOut(accessList.list, accessList.size * sizeof(DmiAccessData), ci.access.data(),
                       &error)) {
        Log("DmiRegisterCi: the access list's entries cannot be read: " + error);
        return DMIERR_ILL_FORMED_COMMAND;
    }
    for (const DmiAccessData& pair : ci.access) {
        const mif::Group* group = component->FindGroup(pair.groupId);
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
    DmiString* level = nullptr;
    if (dmiLevel != nullptr) {
        if (heap_.TakeStep() || (level = heap_.NewString("DMI 2.0", "DmiRegisterCi")) == nullptr) {
            return DMIERR_OUT_OF_MEMORY;
        }
    }
    std::string conflict;
    {
        std::lock_guard lock(mutex_);
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
        if (conflict.empty()) {
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
    LogNote(Root(), "unregistered the instrumentation of component " +
                        std::to_string(registration->second.componentId) + " (handle " +
                        std::to_string(handle) + ")");
    registrations_.erase(registration);
    return DMIERR_NO_ERROR;
}

// ---- Attribute requests --------------------------------------------------------------------

DmiErrorStatus Provider::Resolve(DmiId componentId, DmiId groupId, DmiId attributeId,
                                 Target* target) {
    const auto database = Database(&target->error);
    if (!database) {
        return DMIERR_DATABASE_CORRUPT;
    }
    target->component = database->Find(componentId);
    if (!target->component) {
        target->error = "component " + std::to_string(componentId) + " is not installed";
        return DMIERR_COMPONENT_NOT_FOUND;
    }
    target->group = target->component->FindGroup(groupId);
    if (target->group == nullptr) {
        target->error =
            "component " + std::to_string(componentId) + " has no group " + std::to_string(groupId);
        return DMIERR_GROUP_NOT_FOUND;
    }
    target->attribute = target->group->FindAttribute(attributeId);
    if (target->attribute == nullptr) {
        target->error =
            "group " + std::to_string(groupId) + " has no attribute " + std::to_string(attributeId);
        return DMIERR_ATTRIBUTE_NOT_FOUND;
    }
    std::lock_guard lock(mutex_);
    for (const auto& [handle, ci] : registrations_) {
        if (ci.componentId != componentId) {
            continue;
        }
        target->registered = true;
        if (ci.Serves(groupId, attributeId)) {
            target->ci = ci;
            break;
        }
    }
    return DMIERR_NO_ERROR;
}

Outcome Provider::Get(DmiId componentId, DmiId groupId, DmiId attributeId,
                      const std::vector<AttributeValue>& keys, bool next) {
    std::shared_lock calling(callGate_);  // the registration found stays until the call ends
    Target target;
    if (const DmiErrorStatus status = Resolve(componentId, groupId, attributeId, &target)) {
        return {status, target.error, std::nullopt};
    }
    if (target.ci) {
        return CallGet(*target.ci, componentId, groupId, attributeId, keys, next);
    }
    if (target.attribute->value) {
        // A declared value is the group's only row: get-next finds no row after it in a table.
        if (next && !target.group->keys.empty()) {
            return {DMIERR_ROW_NOT_FOUND, "", std::nullopt};
        }
        return {DMIERR_NO_ERROR, "", DeclaredValue(*target.attribute)};
    }
    if (target.registered) {
        return {DMIERR_VALUE_UNKNOWN,
                "no instrumentation serves " + PairText(groupId, attributeId) +
                    " and the MIF declares no value for it",
                std::nullopt};
    }
    return {DMIERR_DIRECT_INTERFACE_NOT_REGISTERED,
            "no instrumentation is registered for component " + std::to_string(componentId),
            std::nullopt};
}

Outcome Provider::Set(DmiId componentId, DmiId groupId, DmiId attributeId,
                      const std::vector<AttributeValue>& keys, const AttributeValue& value) {
    std::shared_lock calling(callGate_);  // the registration found stays until the call ends
    Target target;
    if (const DmiErrorStatus status = Resolve(componentId, groupId, attributeId, &target)) {
        return {status, target.error, std::nullopt};
    }
    if (target.attribute->access == mif::Access::ReadOnly) {
        return {DMIERR_ILLEGAL_TO_SET, PairText(groupId, attributeId) + " is read-only",
                std::nullopt};
    }
    if (IsStringType(value.type) && value.bytes.size() > target.attribute->maxSize) {
        return {DMIERR_VALUE_EXCEEDS_MAXSIZE,
                "the value is " + std::to_string(value.bytes.size()) +
                    " bytes long; the attribute holds at most " +
                    std::to_string(target.attribute->maxSize),
                std::nullopt};
    }
    if (target.ci) {
        return CallSet(*target.ci, componentId, groupId, attributeId, keys, value);
    }
    if (target.registered) {
        return {DMIERR_ILLEGAL_TO_SET,
                "no instrumentation serves " + PairText(groupId, attributeId), std::nullopt};
    }
    return {DMIERR_DIRECT_INTERFACE_NOT_REGISTERED,
            "no instrumentation is registered for component " + std::to_string(componentId),
            std::nullopt};
}

Outcome Provider::CallGet(const CiRegistration& ci, DmiId componentId, DmiId groupId,
                          DmiId attributeId, const std::vector<AttributeValue>& keys, bool next) {
    const auto callback = next ? ci.getNext : ci.get;
    if (callback == nullptr) {
        return {DMIERR_VALUE_UNKNOWN, "the instrumentation has no get-next callback", std::nullopt};
    }
    constexpr const char* kKind = "service provider: request to an instrumentation";
    DmiAttributeValues* keyList = nullptr;
    if (!keys.empty() && (keyList = heap_.NewAttributeValues(keys, kKind)) == nullptr) {
        return {DMIERR_OUT_OF_MEMORY, "", std::nullopt};
    }
    DmiString* language = heap_.NewString(kLanguage, kKind);
    DmiAttributeData* record = nullptr;
    Outcome outcome;
    outcome.status = callback(componentId, groupId, attributeId, language, keyList, &record);
    heap_.FreeRecord(keyList, RecordType::AttributeValues, kKind);
    heap_.FreeRecord(language, RecordType::String, kKind);
    // The record is ours from now on, whatever the status: read it, then free it.
    constexpr const char* kFreeCall = "DmiFreeAttributeData of a get callback's value";
    if (record == nullptr) {
        if (outcome.status == DMIERR_NO_ERROR) {
            outcome = {DMIERR_VALUE_UNKNOWN, "the instrumentation returned no value", std::nullopt};
        }
        return outcome;
    }
    if (!heap_.IsLiveBlock(record, sizeof(DmiAttributeData))) {
        heap_.FreeRecord(record, RecordType::AttributeData, kFreeCall);  // reported
        if (outcome.status == DMIERR_NO_ERROR) {
            outcome = {DMIERR_VALUE_UNKNOWN,
                       "the instrumentation returned a record that the service provider did "
                       "not hand out",
                       std::nullopt};
        }
        return outcome;
    }
    if (outcome.status == DMIERR_NO_ERROR) {
        AttributeValue value;
        std::string error;
        DmiAttributeData copy{};
        heap_.CopyOut(record, sizeof copy, &copy, &error);
        if (copy.data.type == 0) {
            outcome = {DMIERR_VALUE_UNKNOWN,
                       "the instrumentation returned a record without a value", std::nullopt};
        } else if (!heap_.ReadAttributeData(record, &value, &error)) {
            outcome = {DMIERR_VALUE_UNKNOWN, "the instrumentation's value cannot be read: " + error,
                       std::nullopt};
        } else {
            outcome.value = std::move(value);
        }
    }
    heap_.FreeRecord(record, RecordType::AttributeData, kFreeCall);
    return outcome;
}

Outcome Provider::CallSet(const CiRegistration& ci, DmiId componentId, DmiId groupId,
                          DmiId attributeId, const std::vector<AttributeValue>& keys,
                          const AttributeValue& value) {
    if (ci.set == nullptr) {
        return {DMIERR_ILLEGAL_TO_SET, "the instrumentation has no set callback", std::nullopt};
    }
    constexpr const char* kKind = "service provider: request to an instrumentation";
    DmiAttributeValues* keyList = nullptr;
    if (!keys.empty() && (keyList = heap_.NewAttributeValues(keys, kKind)) == nullptr) {
        return {DMIERR_OUT_OF_MEMORY, "", std::nullopt};
    }
    DmiAttributeData* record = heap_.NewAttributeData(value, kKind);
    DmiString* language = heap_.NewString(kLanguage, kKind);
    Outcome outcome;
    if (record == nullptr) {
        outcome.status = DMIERR_OUT_OF_MEMORY;
    } else {
        outcome.status = ci.set(componentId, groupId, attributeId, language, keyList, record);
    }
    heap_.FreeRecord(keyList, RecordType::AttributeValues, kKind);
    heap_.FreeRecord(record, RecordType::AttributeData, kKind);
    heap_.FreeRecord(language, RecordType::String, kKind);
    return outcome;
}

// ---- Events --------------------------------------------------------------------------------

std::shared_ptr<EventLog> Provider::Events(std::string* error) {
    const std::string root = Root();
    if (root.empty()) {
        *error = "WIN32DMIPATH is not set; the service provider keeps its event log there";
        return nullptr;
    }
    std::lock_guard lock(mutex_);
    if (!events_) {
        std::vector<std::string> warnings;
        events_ = std::make_shared<EventLog>(root + "/events.log", &warnings);
        for (const std::string& warning : warnings) {
            LogLine(root, warning);
        }
    }
    return events_;
}

DmiErrorStatus Provider::OriginateEvent(DmiId componentId, const DmiTimestamp* timestamp,
                                        const DmiMultiRowData* rows) {
    if (const DmiErrorStatus refused = RefusedStatus("originateevent")) {
        Log("DmiOriginateEvent refused as KORVO_SP_REFUSE asks");
        return refused;
    }
    const auto refuse = [&](DmiErrorStatus status, const std::string& why) {
        Log("DmiOriginateEvent: event of component " + std::to_string(componentId) + " refused (" +
            StatusName(status) + "): " + why);
        return status;
    };
    std::string error;
    std::vector<RowCopy> copies;
    if (rows == nullptr) {
        return refuse(DMIERR_ILL_FORMED_COMMAND, "no multi-row data");
    }
    if (!heap_.ReadRows(rows, &copies, &error)) {
        return refuse(DMIERR_ILL_FORMED_COMMAND, error);
    }
    if (copies.empty()) {
        return refuse(DMIERR_ILL_FORMED_COMMAND, "the event has no rows");
    }
    const auto database = Database(&error);
    if (!database) {
        return DMIERR_DATABASE_CORRUPT;
    }
    const auto component = database->Find(componentId);
    if (!component) {
        return refuse(DMIERR_COMPONENT_NOT_FOUND, "the component is not installed");
    }
    nlohmann::json event = {{"component", componentId}, {"rows", nlohmann::json::array()}};
    for (size_t i = 0; i < copies.size(); ++i) {
        const RowCopy& row = copies[i];
        const std::string where = "row " + std::to_string(i + 1) + ": ";
        if (row.componentId != componentId) {
            return refuse(DMIERR_COMPONENT_NOT_FOUND,
                          where + "names component " + std::to_string(row.componentId));
        }
        const mif::Group* group = component->FindGroup(row.groupId);
        if (group == nullptr) {
            return refuse(DMIERR_GROUP_NOT_FOUND,
                          where + "the MIF has no group " + std::to_string(row.groupId));
        }
        if (!row.className || *row.className != group->className) {
            return refuse(DMIERR_GROUP_NOT_FOUND,
                          where + "class " +
                              (row.className ? "\"" + *row.className + "\"" : "(none)") +
                              " is not \"" + group->className + "\", the class of group " +
                              std::to_string(row.groupId));
        }
        nlohmann::json keys = nlohmann::json::array();
        nlohmann::json values = nlohmann::json::array();
        for (const AttributeValue& key : row.keys) {
            keys.push_back(ToJson(key));
        }
        for (const AttributeValue& value : row.values) {
            values.push_back(ToJson(value));
        }
        event["rows"].push_back({{"group", row.groupId},
                                 {"class", Latin1ToUtf8(*row.className)},
                                 {"keys", std::move(keys)},
                                 {"values", std::move(values)}});
    }
    std::string time = DmiDateNow();
    if (timestamp != nullptr) {
        DmiTimestamp stamp;
        if (!heap_.CopyOut(timestamp, sizeof stamp, &stamp, &error)) {
            return refuse(DMIERR_ILL_FORMED_COMMAND, "the timestamp cannot be read: " + error);
        }
        const std::string given(stamp.text, strnlen(stamp.text, sizeof stamp.text));
        if (!given.empty()) {
            time = given;
        }
    }
    const auto log = Events(&error);
    uint64_t sequence = 0;
    if (!log || !log->Append(std::move(event), time, &sequence, &error)) {
        Log("DmiOriginateEvent: the event cannot be kept: " + error);
        return DMIERR_DATABASE_CORRUPT;
    }
    Deliver(copies);
    return DMIERR_NO_ERROR;
}

void Provider::Deliver(const std::vector<RowCopy>& rows) {
    std::vector<std::pair<DmiHandle, ManagementClient>> listeners;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [handle, client] : managementClients_) {
            if (client.listening && client.callback != nullptr) {
                listeners.emplace_back(handle, client);
            }
        }
    }
    constexpr const char* kKind = "service provider: event delivered to a listener";
    for (const auto& [handle, client] : listeners) {
        auto* record = static_cast<DmiMultiRowData*>(heap_.NewList(
            RecordType::MultiRowData, rows.size(), sizeof(DmiRowData), alignof(DmiRowData), kKind));
        if (record == nullptr) {
            continue;
        }
        bool built = true;
        for (size_t i = 0; i < rows.size(); ++i) {
            DmiRowData& row = record->list[i];
            row.compId = rows[i].componentId;
            row.groupId = rows[i].groupId;
            row.className = heap_.NewString(rows[i].className.value_or(""), kKind);
            row.keyList = heap_.NewAttributeValues(rows[i].keys, kKind);
            row.values = heap_.NewAttributeValues(rows[i].values, kKind);
            built = built && row.className && row.keyList && row.values;
        }
        if (built) {
            client.callback(handle, record, client.context);
        }
        heap_.FreeRecord(record, RecordType::MultiRowData, kKind);
    }
}

std::vector<nlohmann::json> Provider::EventsAfter(uint64_t since, std::chrono::milliseconds wait) {
    std::string error;
    const auto log = Events(&error);
    return log ? log->WaitSince(since, wait) : std::vector<nlohmann::json>{};
}

// ---- The management socket -----------------------------------------------------------------

void Provider::StartServer() {
    const std::string root = Root();
    std::lock_guard lock(serverMutex_);
    if (server_ || root.empty()) {
        return;
    }
    std::string error;
    server_ = ManagementServer::Start(korvo::management::SocketPath(), *this, &error);
    if (!server_) {
        LogLine(root, error + "; management applications cannot reach this service provider");
    }
}

nlohmann::json Provider::Handle(const nlohmann::json& request) {
    const auto op = request.find("op");
    if (op == request.end() || !op->is_string()) {
        return Answer(DMIERR_ILL_FORMED_COMMAND, "a request needs an \"op\" string");
    }
    const std::string name = op->get<std::string>();
    if (name == "list-components") {
        return ListComponentsJson();
    }
    if (name == "list-groups") {
        return ListGroupsJson(request);
    }
    if (name == "list-attributes") {
        return ListAttributesJson(request);
    }
    if (name == "get" || name == "get-next" || name == "set") {
        return HandleAttributeRequest(name, request);
    }
    if (name == "events") {
        uint64_t since = 0;
        if (const auto given = request.find("since"); given != request.end()) {
            if (!given->is_number_unsigned()) {
                return Answer(DMIERR_ILL_FORMED_COMMAND,
                              "\"since\" must be an event sequence number");
            }
            since = given->get<uint64_t>();
        }
        std::string error;
        const auto log = Events(&error);
        if (!log) {
            return Answer(DMIERR_DATABASE_CORRUPT, error);
        }
        nlohmann::json answer = Answer(DMIERR_NO_ERROR);
        answer["events"] = log->Since(since);
        return answer;
    }
    if (name == "stats") {
        nlohmann::json answer = Answer(DMIERR_NO_ERROR);
        answer.update(StatsJson());
        return answer;
    }
    return Answer(DMIERR_ILL_FORMED_COMMAND, "unknown op \"" + name + "\"");
}

nlohmann::json Provider::ListComponentsJson() {
    std::string error;
    const auto database = Database(&error);
    if (!database) {
        return Answer(DMIERR_DATABASE_CORRUPT, error);
    }
    nlohmann::json answer = Answer(DMIERR_NO_ERROR);
    answer["components"] = nlohmann::json::array();
    for (const auto& entry : database->Components()) {
        answer["components"].push_back({{"id", entry.id},
                                        {"name", entry.component->name},
                                        {"description", entry.component->description}});
    }
    return answer;
}

nlohmann::json Provider::ListGroupsJson(const nlohmann::json& request) {
    uint32_t componentId = 0;
    std::string error;
    if (!MemberId(request, "component", &componentId, &error)) {
        return Answer(DMIERR_ILL_FORMED_COMMAND, error);
    }
    const auto database = Database(&error);
    if (!database) {
        return Answer(DMIERR_DATABASE_CORRUPT, error);
    }
    const auto component = database->Find(componentId);
    if (!component) {
        return Answer(DMIERR_COMPONENT_NOT_FOUND,
                      "component " + std::to_string(componentId) + " is not installed");
    }
    nlohmann::json answer = Answer(DMIERR_NO_ERROR);
    answer["groups"] = nlohmann::json::array();
    for (const mif::Group& group : component->groups) {
        answer["groups"].push_back({{"id", group.id},
                                    {"name", group.name},
                                    {"class", group.className},
                                    {"description", group.description},
                                    {"keys", group.keys}});
    }
    return answer;
}

nlohmann::json Provider::ListAttributesJson(const nlohmann::json& request) {
    uint32_t componentId = 0;
    uint32_t groupId = 0;
    std::string error;
    if (!MemberId(request, "component", &componentId, &error) ||
        !MemberId(request, "group", &groupId, &error)) {
        return Answer(DMIERR_ILL_FORMED_COMMAND, error);
    }
    const auto database = Database(&error);
    if (!database) {
        return Answer(DMIERR_DATABASE_CORRUPT, error);
    }
    const auto component = database->Find(componentId);
    if (!component) {
        return Answer(DMIERR_COMPONENT_NOT_FOUND,
                      "component " + std::to_string(componentId) + " is not installed");
    }
    const mif::Group* group = component->FindGroup(groupId);
    if (group == nullptr) {
        return Answer(DMIERR_GROUP_NOT_FOUND, "component " + std::to_string(componentId) +
                                                  " has no group " + std::to_string(groupId));
    }
    nlohmann::json answer = Answer(DMIERR_NO_ERROR);
    answer["attributes"] = nlohmann::json::array();
    for (const mif::Attribute& attribute : group->attributes) {
        nlohmann::json item = {{"id", attribute.id},
                               {"name", attribute.name},
                               {"description", attribute.description},
                               {"type", mif::TypeName(attribute.type)},
                               {"maxSize", attribute.maxSize},
                               {"access", mif::AccessName(attribute.access)}};
        if (attribute.enumeration) {
            nlohmann::json names = nlohmann::json::object();
            for (const mif::EnumItem& item : attribute.enumeration->items) {
                names[std::to_string(item.number)] = item.text;
            }
            item["enum"] = std::move(names);
        }
        answer["attributes"].push_back(std::move(item));
    }
    return answer;
}

nlohmann::json Provider::HandleAttributeRequest(const std::string& op,
                                                const nlohmann::json& request) {
    uint32_t componentId = 0;
    uint32_t groupId = 0;
    uint32_t attributeId = 0;
    std::string error;
    if (!MemberId(request, "component", &componentId, &error) ||
        !MemberId(request, "group", &groupId, &error) ||
        !MemberId(request, "attribute", &attributeId, &error)) {
        return Answer(DMIERR_ILL_FORMED_COMMAND, error);
    }
    // Keys without an id take the ids of the group's key attributes, in order; a value without
    // a type takes the attribute's type from the MIF.
    const mif::Group* group = nullptr;
    std::shared_ptr<const mif::Component> component;
    if (const auto database = Database(&error)) {
        component = database->Find(componentId);
        group = component ? component->FindGroup(groupId) : nullptr;
    }
    std::vector<AttributeValue> keys;
    if (const auto given = request.find("keys"); given != request.end()) {
        if (!given->is_array()) {
            return Answer(DMIERR_ILL_FORMED_COMMAND, "\"keys\" must be an array");
        }
        for (size_t i = 0; i < given->size(); ++i) {
            const uint32_t defaultId =
                group != nullptr && i < group->keys.size() ? group->keys[i] : 0;
            AttributeValue key;
            if (const DmiErrorStatus status =
                    FromJson((*given)[i], defaultId, MIF_INTEGER, &key, &error)) {
                return Answer(status, "key " + std::to_string(i + 1) + ": " + error);
            }
            keys.push_back(std::move(key));
        }
    }
    if (op != "set") {
        return OutcomeJson(Get(componentId, groupId, attributeId, keys, op == "get-next"));
    }
    const auto given = request.find("value");
    if (given == request.end()) {
        return Answer(DMIERR_ILL_FORMED_COMMAND, "\"set\" needs a \"value\"");
    }
    const mif::Attribute* attribute =
        group != nullptr ? group->FindAttribute(attributeId) : nullptr;
    AttributeValue value;
    if (const DmiErrorStatus status = FromJson(
            *given, attributeId,
            attribute != nullptr ? mif::TypeCode(attribute->type) : MIF_INTEGER, &value, &error)) {
        return Answer(status, "value: " + error);
    }
    return OutcomeJson(Set(componentId, groupId, attributeId, keys, value));
}

// ---- Reports and shutdown ------------------------------------------------------------------

nlohmann::json Provider::StatsJson() {
    const MemoryStats stats = heap_.Stats();
    nlohmann::json blocks = nlohmann::json::array();
    for (const BlockReport& block : stats.outstanding) {
        blocks.push_back({{"size", block.size}, {"kind", block.kind}});
    }
    nlohmann::json registered = nlohmann::json::array();
    {
        std::lock_guard lock(mutex_);
        for (const auto& [handle, ci] : registrations_) {
            registered.push_back(ci.componentId);
        }
    }
    return {{"memory",
             {{"outstanding", stats.outstanding.size()},
              {"allocations", stats.allocations},
              {"frees", stats.frees},
              {"badFrees", stats.badFrees},
              {"blocks", std::move(blocks)}}},
            {"registered", std::move(registered)}};
}

std::string Provider::ReportText() {
    const MemoryStats stats = heap_.Stats();
    std::ostringstream text;
    text << "blocks handed out " << stats.allocations << ", freed " << stats.frees
         << ", outstanding " << stats.outstanding.size() << ", bad frees " << stats.badFrees
         << "\n";
    for (const BlockReport& block : stats.outstanding) {
        text << "outstanding: " << block.size << " bytes from " << block.kind << "\n";
    }
    for (const BadFreeReport& bad : stats.recentBadFrees) {
        text << "bad free: " << bad.call << ": " << bad.reason << "\n";
    }
    return text.str();
}

void Provider::Shutdown() {
    std::unique_ptr<ManagementServer> server;
    {
        std::lock_guard lock(serverMutex_);
        server = std::move(server_);
    }
    server.reset();  // joins its threads, which may still need the state below
    {
        std::unique_lock noCalls(callGate_);  // calls made through the entry points end first
        std::lock_guard lock(mutex_);
        registrations_.clear();
        managementClients_.clear();
        database_.reset();
        events_.reset();
    }
    std::lock_guard lock(rootMutex_);
    root_.reset();
}

}  // namespace korvo::sp
