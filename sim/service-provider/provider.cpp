// The service provider's own state: its settings from the environment, its directory and log,
// the component database, and its reports and shutdown. The other parts of the class live
// beside it: registrations.cpp, attribute_routing.cpp, events.cpp, management_requests.cpp.
#include "provider.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <shared_mutex>
#include <sstream>

#include "korvo/ascii.h"
#include "korvo/management_protocol.h"
#include "sp_log.h"
#include "sp_platform.h"

namespace korvo::sp {
namespace {

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

}  // namespace

std::string PairText(DmiId groupId, DmiId attributeId) {
    return "group " + std::to_string(groupId) + " attribute " + std::to_string(attributeId);
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
            known = known || AsciiEqualFold(call, refusable);
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
        if (AsciiEqualFold(name, call)) {
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
        root_ = korvo::management::ProviderDirectory();
        if (!root_->empty()) {
            os::RequirePrivateDirectory(*root_);
        }
    }
    return *root_;
}

void Provider::Log(const std::string& message) {
    LogLine(Root(), message);
}

void Provider::Note(const std::string& message) {
    LogNote(Root(), message);
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
    for (DmiUnsigned i = 0; i < list.size && i < kMaxListEntries; ++i) {
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
    Note("installed " + resolved + " as component " + std::to_string(id));
    return DMIERR_NO_ERROR;
}

// ---- Database lookups ----------------------------------------------------------------------

Found Provider::Find(DmiId componentId, std::optional<DmiId> groupId,
                     std::optional<DmiId> attributeId) {
    Found found;
    found.componentId = componentId;
    const auto database = Database(&found.error);
    if (!database) {
        found.status = DMIERR_DATABASE_CORRUPT;
        return found;
    }
    found.component = database->Find(componentId);
    if (!found.component) {
        found.status = DMIERR_COMPONENT_NOT_FOUND;
        found.error = "component " + std::to_string(componentId) + " is not installed";
        return found;
    }
    if (!groupId) {
        return found;
    }
    found.group = found.component->FindGroup(*groupId);
    if (found.group == nullptr) {
        found.status = DMIERR_GROUP_NOT_FOUND;
        found.error = "component " + std::to_string(componentId) + " has no group " +
                      std::to_string(*groupId);
        return found;
    }
    if (attributeId) {
        FindAttribute(&found, *attributeId);
    }
    return found;
}

void Provider::FindAttribute(Found* found, DmiId attributeId) {
    found->attribute = found->group->FindAttribute(attributeId);
    if (found->attribute == nullptr) {
        found->status = DMIERR_ATTRIBUTE_NOT_FOUND;
        found->error = "group " + std::to_string(found->group->id) + " has no attribute " +
                       std::to_string(attributeId);
    }
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
            {"registered", std::move(registered)},
            {"readThreads", Readers()->size()},
            {"events", EventStatsJson()}};
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
        // Made again at the next request, with the size the environment gives then.
        std::lock_guard lock(readersMutex_);
        if (readers_ && os::ProcessEnding()) {
            readers_->Abandon();
        }
        readers_.reset();
    }
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
