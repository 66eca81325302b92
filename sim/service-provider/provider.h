// The service provider itself: its memory, its component database, the handles of the
// management applications and instrumentations registered with it, the routing of attribute
// requests to the registered callbacks (or to the values the MIF declares), the event log, and
// the management socket. The exported DMI entry points are thin wrappers over this class, whose
// parts are defined one concern a file: provider.cpp (state, database, reports),
// registrations.cpp, attribute_routing.cpp, events.cpp and management_requests.cpp.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "attribute_value.h"
#include "call_gate.h"
#include "component_database.h"
#include "dmi/dmi.h"
#include "dmi_heap.h"
#include "event_log.h"
#include "management_server.h"
#include "read_pool.h"

namespace korvo::sp {

// The one language this provider speaks, the DMI level it reports, and the most entries it
// reads from a caller's list (an access list, a file-data list, a row request).
inline constexpr const char* kLanguage = "en|US|iso8859-1";
inline constexpr const char* kDmiLevel = "DMI 2.0";
inline constexpr DmiUnsigned kMaxListEntries = 4096;

// Request modes of the List calls.
enum : DmiUnsigned {
    DMI_UNIQUE = 1,
    DMI_FIRST = 2,
    DMI_NEXT = 3,
};

// Access and storage codes of DmiAttributeInfo.
enum : DmiUnsigned {
    MIF_READ_ONLY = 1,
    MIF_READ_WRITE = 2,
    MIF_WRITE_ONLY = 3,
    MIF_COMMON = 0,
    MIF_SPECIFIC = 1,
};

// What the provider keeps of a DmiRegisterCi record: the caller frees the record at once.
struct CiRegistration {
    DmiHandle handle = 0;
    DmiId componentId = 0;
    DmiCiGetAttributeFn get = nullptr;
    DmiCiGetNextAttributeFn getNext = nullptr;
    DmiCiSetAttributeFn set = nullptr;
    std::vector<DmiAccessData> access;

    // Attribute 0 in the access list stands for every attribute of its group.
    bool Serves(DmiId groupId, DmiId attributeId) const;
};

// What a request names in the database (a component and, where asked, one of its groups and
// one of that group's attributes), or the status and the text that say what is missing.
struct Found {
    DmiErrorStatus status = DMIERR_NO_ERROR;
    std::string error;
    std::shared_ptr<const mif::Component> component;
    const mif::Group* group = nullptr;
    const mif::Attribute* attribute = nullptr;
    DmiId componentId = 0;
};

// "group 4 attribute 2", as messages name an attribute.
std::string PairText(DmiId groupId, DmiId attributeId);

// The result of a get, get-next or set.
struct Outcome {
    DmiErrorStatus status = DMIERR_NO_ERROR;
    std::string error;
    std::optional<AttributeValue> value;
    // The status is what an instrumentation's callback answered (or made of its answer), not
    // one the service provider gave without asking.
    bool called = false;
};

class Provider : public ManagementBackend {
  public:
    Provider();
    ~Provider() override;
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;

    DmiHeap& heap() { return heap_; }
    DmiMemDsc systemDescriptor() { return &systemDescriptor_; }
    DmiMemDsc clientDescriptor() { return &clientDescriptor_; }
    bool IsDescriptor(DmiMemDsc md) const;

    // The status KORVO_SP_REFUSE asks `call` ("register", "registerci", ...) to fail with; 0
    // when it is not refused.
    DmiErrorStatus RefusedStatus(const std::string& call) const;

    // $WIN32DMIPATH as this provider uses it (fixed at first use); empty when unset.
    std::string Root();
    void Log(const std::string& message);
    // A line for sp.log alone (LogNote in the provider's directory).
    void Note(const std::string& message);

    // Management registrations.
    DmiErrorStatus RegisterManagement(DmiHandle* handle);
    DmiErrorStatus UnregisterManagement(DmiHandle handle);
    bool IsManagementHandle(DmiHandle handle);
    DmiErrorStatus SetIndicationCallback(DmiHandle handle, DmiIndicationFn callback, void* context);
    DmiErrorStatus SetListening(DmiHandle handle, bool listening);
    DmiErrorStatus SetLanguage(DmiHandle handle, const std::string& language);
    DmiErrorStatus GetLanguage(DmiHandle handle, std::string* language);

    // The component database; null, with the reason logged and in `error`, when it cannot be
    // opened.
    std::shared_ptr<ComponentDatabase> Database(std::string* error);
    Found Find(DmiId componentId, std::optional<DmiId> groupId = std::nullopt,
               std::optional<DmiId> attributeId = std::nullopt);
    // The attribute of the group `found` names, or the status and the text that say it is
    // missing.
    static void FindAttribute(Found* found, DmiId attributeId);
    DmiErrorStatus AddComponent(const DmiFileDataList* files, DmiId* componentId);

    // Instrumentation registrations.
    DmiErrorStatus RegisterCi(const DmiRegisterInfo* registration, DmiHandle* handle,
                              DmiString** dmiLevel);
    DmiErrorStatus UnregisterCi(DmiHandle handle);

    // Attribute requests, routed to a registered instrumentation or answered from the MIF.
    Outcome Get(DmiId componentId, DmiId groupId, DmiId attributeId,
                const std::vector<AttributeValue>& keys, bool next);
    // The same in a group already found (Find with a group), as multi-value requests read.
    Outcome Get(const Found& group, DmiId attributeId, const std::vector<AttributeValue>& keys,
                bool next);
    Outcome Set(DmiId componentId, DmiId groupId, DmiId attributeId,
                const std::vector<AttributeValue>& keys, const AttributeValue& value);
    // The attributes of one row read side by side (each as Get would), in their order. The
    // reads after the first that fails (in that order) may be left out: those outcomes stay
    // empty.
    std::vector<std::optional<Outcome>> GetAll(const Found& group,
                                               const std::vector<DmiId>& attributes,
                                               const std::vector<AttributeValue>& keys, bool next);

    DmiErrorStatus OriginateEvent(DmiId componentId, const DmiTimestamp* timestamp,
                                  const DmiMultiRowData* rows);

    // The management protocol (every op but the streams, which the server runs itself).
    std::string Handle(const nlohmann::json& request) override;
    uint64_t LastNotice() override;
    std::vector<nlohmann::json> EventsAfter(uint64_t since, uint64_t* notice,
                                            std::vector<nlohmann::json>* notices,
                                            std::chrono::milliseconds wait) override;

    nlohmann::json StatsJson();
    // The events the log's file has not taken: held back now, written late, lost.
    nlohmann::json EventStatsJson();
    std::string ReportText();

    // Stops the management socket and forgets every registration, the database, the read pool
    // and the directory, so that the next call starts afresh from the environment. Memory
    // tracking goes on.
    void Shutdown();

  private:
    struct Target : Found {
        std::optional<CiRegistration> ci;  // the instrumentation that serves the pair
        bool registered = false;           // some instrumentation serves the component
    };
    struct ManagementClient {
        DmiIndicationFn callback = nullptr;
        void* context = nullptr;
        bool listening = false;
        std::string language;
    };

    Target Resolve(DmiId componentId, DmiId groupId, DmiId attributeId);
    Target Resolve(const Found& group, DmiId attributeId);
    DmiErrorStatus ReadRegistration(const DmiRegisterInfo* registration, CiRegistration* ci);
    std::string Conflict(const CiRegistration& ci);  // under mutex_
    Outcome CallGet(const CiRegistration& ci, DmiId componentId, DmiId groupId, DmiId attributeId,
                    const std::vector<AttributeValue>& keys, bool next);
    // Runs one callback of the instrumentation and notes in sp.log what an administrator looks
    // for: an answer other than success and row-not-found, and a call slower than a second.
    template <typename Call>
    DmiErrorStatus TimedCallback(const char* name, DmiId componentId, DmiId groupId,
                                 DmiId attributeId, Call call);
    Outcome CallSet(const CiRegistration& ci, DmiId componentId, DmiId groupId, DmiId attributeId,
                    const std::vector<AttributeValue>& keys, const AttributeValue& value);
    std::shared_ptr<EventLog> Events(std::string* error);
    void StartServer();
    void Deliver(const std::vector<RowCopy>& rows);

    // The management protocol's ops, each answering one request.
    nlohmann::json ListComponentsJson(const nlohmann::json& request);
    nlohmann::json ListGroupsJson(const nlohmann::json& request);
    nlohmann::json ListAttributesJson(const nlohmann::json& request);
    nlohmann::json AttributeRequestJson(const nlohmann::json& request);  // get, get-next, set
    Found FindRequestGroup(const nlohmann::json& request, DmiId* componentId, DmiId* groupId);
    std::string MultipleGetText(const nlohmann::json& request);  // get-row, -rows, -group
    std::string ListRowsText(const Found& group, const std::vector<DmiId>& attributes,
                             std::vector<AttributeValue> keys, uint64_t count);
    struct RowReadings {
        std::string readings;  // the array of the protocol's READING of each attribute, as text
        bool rowNotFound = false;
        bool anyValue = false;
        nlohmann::json keyFailure;  // the READING of the first key attribute that failed
    };
    std::vector<RowReadings> ReadRows(const Found& group, const std::vector<DmiId>& attributes,
                                      const std::vector<AttributeValue>& keys, size_t rows);

    // The read pool, made at first use with the size the environment gives.
    std::shared_ptr<ReadPool> Readers();
    // Runs read(i) for each i below `count` side by side on the read pool. read(i) returns
    // the last index still needed after what it read (count - 1, or more, when every one
    // is); reads past the smallest such index that have not started are left out.
    void ReadSideBySide(size_t count, const std::function<size_t(size_t)>& read);
    nlohmann::json EventsJson(const nlohmann::json& request);
    nlohmann::json StatsAnswerJson(const nlohmann::json& request);

    int systemDescriptor_ = 0;  // their addresses are the descriptors
    int clientDescriptor_ = 0;
    DmiHeap heap_;

    // Never held while calling the heap: the heap reports bad frees through Log().
    std::mutex rootMutex_;
    std::optional<std::string> root_;

    std::mutex mutex_;  // guards everything below
    std::shared_ptr<ComponentDatabase> database_;
    std::shared_ptr<EventLog> events_;
    std::map<DmiHandle, ManagementClient> managementClients_;
    std::map<DmiHandle, CiRegistration> registrations_;
    DmiHandle nextHandle_ = 1;

    // Held shared from finding a request's instrumentation until its callback has returned,
    // exclusively while a registration goes: calls run side by side, and none reaches an
    // instrumentation after DmiUnregisterCi (or Shutdown) has returned. A callback must not
    // unregister, or make a management request of this provider, from inside the call.
    CallGate callGate_;

    std::mutex serverMutex_;
    std::unique_ptr<ManagementServer> server_;

    std::mutex readersMutex_;
    std::shared_ptr<ReadPool> readers_;
};

}  // namespace korvo::sp
