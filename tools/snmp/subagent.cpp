// The subagent's life on Net-SNMP's agent library: AgentX role, one handler registration per
// component, the handler's get, get-next and set, the periodic re-reading of the component
// list, and the thread that follows the service provider's events (and its notices of sets)
// for the main loop to send as notifications. The library is used from the main thread only.
#include "snmp/subagent.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <tuple>
#include <vector>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/agent/agent_callbacks.h>

#include "management/component_catalog.h"
#include "management/management_client.h"
#include "korvo/management_protocol.h"
#include "dmi/dmi.h"
#include "snmp/component_tree.h"
#include "snmp/log.h"

// The AgentX subagent's session with its master, which Net-SNMP's agent library keeps (and
// exports without declaring it): null while no master has answered.
extern "C" netsnmp_session* main_session;

namespace korvo::snmp {

namespace {

using nlohmann::json;

static_assert(kGenErr == SNMP_ERR_GENERR && kWrongType == SNMP_ERR_WRONGTYPE &&
              kWrongLength == SNMP_ERR_WRONGLENGTH && kWrongValue == SNMP_ERR_WRONGVALUE &&
              kNoCreation == SNMP_ERR_NOCREATION &&
              kResourceUnavailable == SNMP_ERR_RESOURCEUNAVAILABLE &&
              kNotWritable == SNMP_ERR_NOTWRITABLE);

using Clock = std::chrono::steady_clock;

constexpr const char* kAppName = "dmi-snmp";
// sysUpTime.0 and snmpTrapOID.0 (SNMPv2-MIB), the first two varbinds of every notification.
const oid kSysUpTime[] = {1, 3, 6, 1, 2, 1, 1, 3, 0};
const oid kSnmpTrapOid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
// What an answer to the master agent keeps in hand for sending it before the master's timeout.
constexpr auto kAnswerMargin = std::chrono::milliseconds(250);
constexpr auto kShortestBudget = std::chrono::milliseconds(100);
// Notifications kept while the master agent is away; beyond it the oldest is dropped, and
// logged.
constexpr size_t kMaxWaitingNotifications = 200;
constexpr auto kFailureLogInterval = std::chrono::seconds(10);
constexpr auto kEventWait = std::chrono::milliseconds(500);
constexpr auto kEventRetry = std::chrono::seconds(1);
constexpr auto kRowCountLife = std::chrono::seconds(1);
// How long values read ahead for a walk may serve its following get-nexts.
constexpr auto kReadAheadLife = std::chrono::milliseconds(250);

volatile sig_atomic_t stopRequested = 0;
// Whether the AgentX session with the master agent is open (the library says so through its
// index callbacks), and whether it was open once.
bool masterConnected = false;
bool masterSeen = false;

void OnStopSignal(int) {
    stopRequested = 1;
}

void Log(const std::string& text, LogPriority priority = LogPriority::Notice) {
    LogAt(priority, text);
}

int OnMasterSession(int, int minor, void*, void*) {
    const bool open = minor == SNMPD_CALLBACK_INDEX_START;
    if (open && masterSeen && !masterConnected) {
        Log("registered with the master agent again");
    } else if (!open && masterConnected) {
        Log("the master agent dropped the AgentX session; registering again as soon as it "
            "answers, and notifications wait until then");
    }
    masterSeen = masterSeen || open;
    masterConnected = open;
    return SNMPERR_SUCCESS;
}

std::vector<oid> ToNetsnmp(const Oid& name) {
    return std::vector<oid>(name.begin(), name.end());
}

Oid FromNetsnmp(const oid* name, size_t length) {
    Oid result;
    result.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        result.push_back(static_cast<uint32_t>(name[i]));
    }
    return result;
}

void SetVarValue(netsnmp_variable_list* variable, const SnmpValue& value) {
    switch (value.kind) {
        case AsnKind::Integer32: {
            const long number = static_cast<long>(value.integer);
            snmp_set_var_typed_value(variable, ASN_INTEGER, &number, sizeof number);
            return;
        }
        case AsnKind::Counter32:
        case AsnKind::Gauge32: {
            const u_long number = static_cast<u_long>(value.integer);
            snmp_set_var_typed_value(variable,
                                     value.kind == AsnKind::Counter32 ? ASN_COUNTER : ASN_GAUGE,
                                     &number, sizeof number);
            return;
        }
        case AsnKind::Counter64: {
            counter64 number{};
            number.high = static_cast<u_long>(value.unsigned64 >> 32);
            number.low = static_cast<u_long>(value.unsigned64 & 0xFFFFFFFFu);
            snmp_set_var_typed_value(variable, ASN_COUNTER64, &number, sizeof number);
            return;
        }
        case AsnKind::OctetString:
            snmp_set_var_typed_value(variable, ASN_OCTET_STR, value.bytes.data(),
                                     value.bytes.size());
            return;
    }
}

// The exception (or, for an unavailable value, the error) a read answers.
int ReadError(ReadFailure failure) {
    switch (failure) {
        case ReadFailure::NoSuchObject:
            return SNMP_NOSUCHOBJECT;
        case ReadFailure::NoSuchInstance:
            return SNMP_NOSUCHINSTANCE;
        case ReadFailure::Unavailable:
            break;
    }
    return SNMP_ERR_GENERR;
}

// What a manager offered in a set, or nothing for a type no DMI attribute maps to.
std::optional<SnmpValue> OfferedValue(const netsnmp_variable_list* variable) {
    SnmpValue value;
    switch (variable->type) {
        case ASN_INTEGER:
            value.kind = AsnKind::Integer32;
            value.integer = *variable->val.integer;
            return value;
        case ASN_COUNTER:
        case ASN_GAUGE:
            value.kind = variable->type == ASN_COUNTER ? AsnKind::Counter32 : AsnKind::Gauge32;
            value.integer = static_cast<int64_t>(static_cast<uint32_t>(*variable->val.integer));
            return value;
        case ASN_COUNTER64:
            value.kind = AsnKind::Counter64;
            value.unsigned64 = (static_cast<uint64_t>(variable->val.counter64->high) << 32) |
                               (variable->val.counter64->low & 0xFFFFFFFFu);
            return value;
        case ASN_OCTET_STR:
            value.kind = AsnKind::OctetString;
            value.bytes.assign(reinterpret_cast<const char*>(variable->val.string),
                               variable->val_len);
            return value;
        default:
            return std::nullopt;
    }
}

// The service provider's management socket, opened when needed and opened again after a
// failure, so a restarted service provider is found without restarting the subagent.
class ServiceProvider {
  public:
    ServiceProvider(std::string socketPath, std::chrono::milliseconds timeout)
        : socketPath_(std::move(socketPath)), timeout_(timeout) {}

    // The response, due before `deadline`; throws ConnectionError when the service provider
    // cannot be reached now or does not answer in time. A connection that fails at once (the
    // provider closed it while idle) is opened again once; one that timed out is not asked
    // again.
    json Request(const json& request, Clock::time_point deadline) {
        for (int attempt = 0;; ++attempt) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                throw management::ReplyTimeout(
                    "no time left within the master agent's timeout to ask the service provider");
            }
            try {
                return Client().Request(request, std::min(timeout_, left));
            } catch (const management::ReplyTimeout&) {
                client_.reset();
                throw;
            } catch (const management::ConnectionError&) {
                client_.reset();
                if (attempt > 0) {
                    throw;
                }
            }
        }
    }

    management::ManagementClient& Client() {
        if (!client_) {
            client_.emplace(management::ManagementSocketPath(socketPath_), timeout_);
        }
        return *client_;
    }

    void Drop() { client_.reset(); }

  private:
    std::string socketPath_;
    std::chrono::milliseconds timeout_;
    std::optional<management::ManagementClient> client_;
};

// Follows the service provider's events on a thread of its own and hands them to the main
// loop through a queue and a pipe the loop watches.
class EventFollower {
  public:
    EventFollower(std::string socketPath, std::chrono::milliseconds timeout)
        : socketPath_(std::move(socketPath)), timeout_(timeout) {
        if (pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
            throw std::runtime_error("cannot make a pipe for events");
        }
        thread_ = std::thread([this] { Follow(); });
    }
    ~EventFollower() {
        stopping_ = true;
        thread_.join();
        close(pipe_[0]);
        close(pipe_[1]);
    }
    EventFollower(const EventFollower&) = delete;
    EventFollower& operator=(const EventFollower&) = delete;

    int readFd() const { return pipe_[0]; }

    // How many notices of sets by any client have arrived; and whether lines wait unread on
    // the subscription, which may be such a notice.
    uint64_t SetsNoticed() const { return sets_; }
    bool LinesWaiting() const {
        pollfd waiting{subscription_.load(), POLLIN, 0};
        return waiting.fd >= 0 && poll(&waiting, 1, 0) > 0;
    }

    // The groups that sets by any client wrote since the last call, or `all` when sets may
    // have gone unnoticed (while no subscription was open).
    struct Written {
        bool all = false;
        std::vector<std::pair<uint32_t, uint32_t>> groups;  // component, group
    };
    Written TakeWritten() {
        std::lock_guard lock(mutex_);
        return std::exchange(written_, {});
    }

    std::deque<json> Take() {
        char drain[64];
        while (read(pipe_[0], drain, sizeof drain) > 0) {
        }
        std::lock_guard lock(mutex_);
        return std::exchange(events_, {});
    }

  private:
    void Noticed(const std::function<void(Written&)>& note) {
        {
            std::lock_guard lock(mutex_);
            note(written_);
        }
        ++sets_;
        const char wake = 1;
        (void)!write(pipe_[1], &wake, 1);
    }

    void Follow() {
        std::optional<uint64_t> since;
        bool connected = true;
        while (!stopping_) {
            try {
                management::ManagementClient client(management::ManagementSocketPath(socketPath_),
                                                    timeout_);
                if (!since) {
                    // Only what happens from now on: the log's earlier events are history.
                    uint64_t last = 0;
                    const json log = client.Request({{"op", "events"}});
                    for (const json& event : log.value("events", json::array())) {
                        last = std::max(last, event.value("sequence", uint64_t{0}));
                    }
                    since = last;
                }
                const json answer = client.Request({{"op", "subscribe"}, {"since", *since}});
                if (management::StatusOf(answer) != DMIERR_NO_ERROR) {
                    throw management::ConnectionError(
                        "the service provider refused a subscription");
                }
                if (!connected) {
                    Log("following the service provider's events again");
                    connected = true;
                }
                subscription_ = client.descriptor();
                // Sets made while no subscription was open were not noticed.
                Noticed([](Written& written) { written.all = true; });
                while (!stopping_) {
                    const auto line = client.Receive(kEventWait);
                    if (line && line->contains("set")) {
                        const json& set = (*line)["set"];
                        Noticed([&](Written& written) {
                            written.groups.emplace_back(set.value("component", 0u),
                                                        set.value("group", 0u));
                        });
                        continue;
                    }
                    if (!line || !line->contains("event")) {
                        continue;
                    }
                    const json& event = (*line)["event"];
                    since = std::max(*since, event.value("sequence", uint64_t{0}));
                    {
                        std::lock_guard lock(mutex_);
                        events_.push_back(event);
                    }
                    const char wake = 1;
                    (void)!write(pipe_[1], &wake, 1);
                }
            } catch (const std::exception& error) {
                subscription_ = -1;
                if (connected) {
                    Log(std::string("events: ") + error.what() + "; trying again every second",
                        LogPriority::Warning);
                    connected = false;
                }
                for (auto waited = std::chrono::milliseconds(0); !stopping_ && waited < kEventRetry;
                     waited += std::chrono::milliseconds(100)) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
            }
        }
    }

    std::string socketPath_;
    std::chrono::milliseconds timeout_;
    int pipe_[2] = {-1, -1};
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> sets_{0};
    std::atomic<int> subscription_{-1};
    std::mutex mutex_;
    std::deque<json> events_;
    Written written_;
    std::thread thread_;
};

class Subagent;

// One component's registration; the handler finds it through the registration's pointer.
struct Registered {
    Subagent* owner = nullptr;
    ComponentTree tree;
    netsnmp_handler_registration* registration = nullptr;
};

class Subagent {
  public:
    explicit Subagent(const SubagentOptions& options)
        : options_(options),
          provider_(options.managementSocket, options.replyTimeout),
          budget_(std::max<Clock::duration>(
              std::chrono::duration_cast<Clock::duration>(options.agentxTimeout) - kAnswerMargin,
              kShortestBudget)) {}

    void Follow(EventFollower* follower) { follower_ = follower; }

    void Refresh() {
        std::vector<ComponentTree> components;
        try {
            components = LoadComponents(provider_.Client());
        } catch (const std::exception& error) {
            provider_.Drop();
            if (reachable_) {
                Log(std::string("the service provider cannot be read: ") + error.what() +
                        "; its components stay registered and answer as unavailable",
                    LogPriority::Warning);
                reachable_ = false;
            }
            return;
        }
        if (!reachable_) {
            Log("the service provider answers again");
            reachable_ = true;
        }
        std::map<uint32_t, ComponentTree> listed;
        for (ComponentTree& component : components) {
            listed.emplace(component.info.id, std::move(component));
        }
        for (auto it = registered_.begin(); it != registered_.end();) {
            if (listed.contains(it->first)) {
                ++it;
                continue;
            }
            Log("component " + std::to_string(it->first) + " is gone; its subtree unregistered");
            netsnmp_unregister_handler(it->second->registration);
            it = registered_.erase(it);
        }
        for (auto& [id, tree] : listed) {
            if (const auto found = registered_.find(id); found != registered_.end()) {
                found->second->tree = std::move(tree);
                continue;
            }
            auto entry = std::make_unique<Registered>();
            entry->owner = this;
            entry->tree = std::move(tree);
            const auto root = ToNetsnmp(ComponentOid(options_.prefix, id));
            const std::string name = "dmi-component-" + std::to_string(id);
            entry->registration = netsnmp_create_handler_registration(
                name.c_str(), &Subagent::Handle, root.data(), root.size(), HANDLER_CAN_RWRITE);
            entry->registration->my_reg_void = entry.get();
            if (netsnmp_register_handler(entry->registration) != MIB_REGISTERED_OK) {
                Log("cannot register " + FormatOid(ComponentOid(options_.prefix, id)),
                    LogPriority::Warning);
                continue;
            }
            Log("component " + std::to_string(id) + " (" + entry->tree.info.name + ") at " +
                FormatOid(ComponentOid(options_.prefix, id)));
            registered_.emplace(id, std::move(entry));
        }
    }

    void SendEvents(EventFollower& follower) {
        DropWritten();
        std::deque<json> events = follower.Take();
        if (!events.empty()) {
            readAhead_.clear();
        }
        for (const json& event : events) {
            if (masterConnected) {
                SendNotification(event, Clock::now());
                continue;
            }
            waiting_.push_back({event, Clock::now()});
            if (waiting_.size() > kMaxWaitingNotifications) {
                Log("event " + std::to_string(waiting_.front().event.value("sequence", 0)) +
                    " dropped: " + std::to_string(kMaxWaitingNotifications) +
                    " notifications already wait for the master agent");
                waiting_.pop_front();
            }
        }
    }

    // Sends the notifications that waited for the master agent, once it is back.
    void SendWaiting() {
        if (!masterConnected || waiting_.empty()) {
            return;
        }
        Log(std::to_string(waiting_.size()) +
            " notifications that waited for the master agent go out now");
        for (const Waiting& notification : std::exchange(waiting_, {})) {
            SendNotification(notification.event, notification.arrived);
        }
    }

    static int Handle(netsnmp_mib_handler*, netsnmp_handler_registration* registration,
                      netsnmp_agent_request_info* info, netsnmp_request_info* requests) {
        auto* entry = static_cast<Registered*>(registration->my_reg_void);
        entry->owner->BeginRequest(info);
        for (netsnmp_request_info* request = requests; request != nullptr;
             request = request->next) {
            if (request->processed) {
                continue;
            }
            entry->owner->Answer(*entry, info, request);
        }
        return SNMP_ERR_NOERROR;
    }

  private:
    // Sets when the answer to the master agent's current request is due. The handler is
    // called once per registration, and a set's two test phases share the master's one
    // timeout; a request is told apart by its agent session and transaction.
    void BeginRequest(netsnmp_agent_request_info* info) {
        const long transaction =
            info->asp != nullptr && info->asp->pdu != nullptr ? info->asp->pdu->transid : -1;
        const bool sameSet = info->mode == MODE_SET_RESERVE2 && transaction == transaction_;
        if ((info->asp != session_ || transaction != transaction_) && !sameSet) {
            deadline_ = Clock::now() + budget_;
        }
        session_ = info->asp;
        transaction_ = transaction;
    }

    // The rows of a table as a walk finds them, counted again once the count is older than
    // kRowCountLife (a walk of the key column renews it), so that a walk reads no row twice
    // and a poller sees rows come and go.
    std::optional<uint32_t> Rows(uint32_t component, const GroupTree& group,
                                 const ReadFunction& read) {
        const auto now = std::chrono::steady_clock::now();
        const auto key = std::make_pair(component, group.info.id);
        if (const auto found = rowCounts_.find(key);
            found != rowCounts_.end() && now - found->second.second < kRowCountLife) {
            return found->second.first;
        }
        const auto rows = CountRows(group, read);
        if (rows) {
            rowCounts_[key] = {*rows, now};
        }
        return rows;
    }

    // Drops the readings of the groups another client's set wrote; all of them while a line
    // of the subscription waits unread, which may be such a notice.
    void DropWritten() {
        if (follower_ == nullptr) {
            return;
        }
        if (follower_->LinesWaiting()) {
            readAhead_.clear();
        }
        const uint64_t noticed = follower_->SetsNoticed();
        if (noticed == setsSeen_) {
            return;
        }
        setsSeen_ = noticed;
        const EventFollower::Written written = follower_->TakeWritten();
        if (written.all) {
            readAhead_.clear();
            return;
        }
        std::erase_if(readAhead_, [&](const auto& entry) {
            const auto group = std::make_pair(std::get<0>(entry.first), std::get<1>(entry.first));
            return std::find(written.groups.begin(), written.groups.end(), group) !=
                   written.groups.end();
        });
    }

    // A get-next's read: served from the values read ahead, or read together with the rest
    // of its group (a table from its row onwards, a group without keys whole) in one request.
    json ReadAhead(const ComponentTree& component, uint32_t group, uint32_t attribute,
                   const json& keys) {
        DropWritten();
        const auto now = std::chrono::steady_clock::now();
        const ReadingKey key{component.info.id, group, attribute, keys.dump()};
        if (const auto found = readAhead_.find(key);
            found != readAhead_.end() && now - found->second.read < kReadAheadLife) {
            return found->second.answer;
        }
        if (const GroupTree* tree = component.Find(group);
            tree != nullptr && (!tree->IsTable() || tree->Walkable())) {
            std::erase_if(readAhead_, [&](const auto& entry) {
                return now - entry.second.read >= kReadAheadLife;
            });
            FetchAhead(component.info.id, *tree, keys, now);
            if (const auto found = readAhead_.find(key); found != readAhead_.end()) {
                return found->second.answer;
            }
        }
        return Read(component.info.id, group, attribute, keys);
    }

    // Keeps the readings of one get-group (a group without keys) or get-rows (a table from
    // the row `keys` select), and "row not found" for the row where the table ends. Nothing
    // is kept from a request refused as a whole: each read then asks on its own.
    void FetchAhead(uint32_t component, const GroupTree& group, const json& keys,
                    std::chrono::steady_clock::time_point now) {
        const auto keep = [&](const json& rowKeys, const json& readings) {
            const std::string index = rowKeys.dump();
            for (const json& reading : readings) {
                readAhead_[{component, group.info.id, reading.value("id", 0u), index}] = {reading,
                                                                                          now};
            }
        };
        if (!group.IsTable()) {
            const json answer = provider_.Request(
                {{"op", "get-group"}, {"component", component}, {"group", group.info.id}},
                deadline_);
            if (management::StatusOf(answer) == DMIERR_NO_ERROR) {
                keep(json::array(), answer.value("attributes", json::array()));
            }
            return;
        }
        const uint32_t first = keys.empty() ? 1u : std::max(keys[0].value("integer", 1u), 1u);
        const json answer =
            provider_.Request({{"op", "get-rows"},
                               {"component", component},
                               {"group", group.info.id},
                               {"keys", management::TableRowKeys(group.info, first)},
                               {"count", management::kMaxRowsPerRequest}},
                              deadline_);
        uint32_t status = management::StatusOf(answer);
        json end = answer.value("end", json());
        if (status == DMIERR_ROW_NOT_FOUND) {
            end = {{"reason", management::kEndRowNotFound}, {"index", 0}};
        } else if (status != DMIERR_NO_ERROR) {
            return;
        }
        uint32_t row = first;
        for (const json& read : answer.value("rows", json::array())) {
            keep(management::TableRowKeys(group.info, row++),
                 read.value("attributes", json::array()));
        }
        if (end.is_object() && end.value("reason", "") == management::kEndRowNotFound) {
            json missing = json::array();
            for (const management::AttributeInfo& attribute : group.attributes) {
                missing.push_back({{"id", attribute.id}, {"status", DMIERR_ROW_NOT_FOUND}});
            }
            keep(management::TableRowKeys(group.info, first + end.value("index", 0u)), missing);
        }
    }

    json Read(uint32_t component, uint32_t group, uint32_t attribute, const json& keys) {
        return provider_.Request({{"op", "get"},
                                  {"component", component},
                                  {"group", group},
                                  {"attribute", attribute},
                                  {"keys", keys}},
                                 deadline_);
    }

    void Answer(const Registered& entry, netsnmp_agent_request_info* info,
                netsnmp_request_info* request) {
        netsnmp_variable_list* variable = request->requestvb;
        const Oid name = FromNetsnmp(variable->name, variable->name_length);
        const uint32_t component = entry.tree.info.id;
        try {
            switch (info->mode) {
                case MODE_GET:
                    return AnswerGet(entry, info, request, name);
                case MODE_GETNEXT: {
                    bool unavailable = false;
                    const ReadFunction read = [&](uint32_t g, uint32_t a, const json& keys) {
                        return ReadAhead(entry.tree, g, a, keys);
                    };
                    const RowCounter rows{
                        [&](const GroupTree& group) { return Rows(component, group, read); },
                        [&](const GroupTree& group, uint32_t count) {
                            rowCounts_[{component, group.info.id}] = {
                                count, std::chrono::steady_clock::now()};
                        }};
                    const auto next =
                        FindNext(entry.tree, options_.prefix, name, read, rows, &unavailable);
                    if (unavailable) {
                        netsnmp_set_request_error(info, request, SNMP_ERR_GENERR);
                    } else if (next) {
                        const auto oid = ToNetsnmp(next->instance.oid);
                        snmp_set_var_objid(variable, oid.data(), oid.size());
                        SetVarValue(variable, next->value);
                    }
                    return;
                }
                case MODE_SET_RESERVE1:
                case MODE_SET_RESERVE2:
                    return AnswerSet(entry, info, request, name);
                default:
                    return;
            }
        } catch (const std::exception& error) {
            // The service provider is gone or too slow for the master agent's timeout:
            // unavailable, never a value made up.
            LogFailure(std::string("request failed: ") + error.what());
            const bool setting = info->mode == MODE_SET_RESERVE1 || info->mode == MODE_SET_RESERVE2;
            if (info->mode == MODE_SET_RESERVE2) {
                stoppedSet_ = info->asp;
            }
            netsnmp_set_request_error(info, request,
                                      setting ? SNMP_ERR_RESOURCEUNAVAILABLE : SNMP_ERR_GENERR);
        }
    }

    // Failures said at most once every kFailureLogInterval, with how many went unsaid, so
    // that a stalled device under load does not flood the log.
    void LogFailure(const std::string& text) {
        const auto now = Clock::now();
        if (lastFailureLogged_ && now - *lastFailureLogged_ < kFailureLogInterval) {
            ++unsaidFailures_;
            return;
        }
        Log(unsaidFailures_ == 0 ? text
                                 : text + " (and " + std::to_string(unsaidFailures_) +
                                       " more failures since the last one said)",
            LogPriority::Warning);
        unsaidFailures_ = 0;
        lastFailureLogged_ = now;
    }

    void AnswerGet(const Registered& entry, netsnmp_agent_request_info* info,
                   netsnmp_request_info* request, const Oid& name) {
        const Resolved resolved = ResolveInstance(entry.tree, options_.prefix, name);
        if (!resolved.instance) {
            netsnmp_set_request_error(info, request, ReadError(resolved.failure));
            return;
        }
        const Instance& instance = *resolved.instance;
        if (instance.attribute->access == "write-only") {
            netsnmp_set_request_error(info, request, SNMP_NOSUCHINSTANCE);
            return;
        }
        const json answer = Read(entry.tree.info.id, instance.group->info.id,
                                 instance.attribute->id, instance.keys);
        if (const uint32_t status = management::StatusOf(answer); status != DMIERR_NO_ERROR) {
            netsnmp_set_request_error(info, request, ReadError(ReadFailureOf(status)));
            return;
        }
        const auto value = answer.contains("value")
                               ? ToSnmpValue(answer["value"], instance.attribute->typeCode())
                               : std::nullopt;
        if (!value) {
            netsnmp_set_request_error(info, request, SNMP_NOSUCHINSTANCE);
            return;
        }
        SetVarValue(request->requestvb, *value);
    }

    // A set is checked whole before anything is written: in the first test phase every
    // varbind's name, access, type and value, and that its row exists. The writes follow in
    // the second phase, in the varbinds' order, each answering the error that says why the
    // instrumentation refused it; the first that fails ends the set. DMI has no transactions:
    // the writes before it stay, and the varbinds after it are not written.
    void AnswerSet(const Registered& entry, netsnmp_agent_request_info* info,
                   netsnmp_request_info* request, const Oid& name) {
        if (info->mode == MODE_SET_RESERVE1) {
            stoppedSet_ = nullptr;
        } else if (stoppedSet_ == info->asp) {
            return;
        }
        const Resolved resolved = ResolveInstance(entry.tree, options_.prefix, name);
        if (!resolved.instance) {
            netsnmp_set_request_error(info, request,
                                      resolved.failure == ReadFailure::NoSuchObject
                                          ? SNMP_ERR_NOTWRITABLE
                                          : SNMP_ERR_NOCREATION);
            return;
        }
        const Instance& instance = *resolved.instance;
        if (instance.attribute->access == "read-only") {
            netsnmp_set_request_error(info, request, SNMP_ERR_NOTWRITABLE);
            return;
        }
        const auto offered = OfferedValue(request->requestvb);
        const SetValue value = offered ? FromSnmpValue(*offered, *instance.attribute)
                                       : SetValue{std::nullopt, kWrongType};
        if (!value.value) {
            netsnmp_set_request_error(info, request, value.error);
            return;
        }
        const uint32_t component = entry.tree.info.id;
        if (info->mode == MODE_SET_RESERVE1) {
            if (const SnmpError error = RowError(component, instance)) {
                netsnmp_set_request_error(info, request, error);
            }
            return;
        }
        readAhead_.clear();
        const json answer = provider_.Request({{"op", "set"},
                                               {"component", component},
                                               {"group", instance.group->info.id},
                                               {"attribute", instance.attribute->id},
                                               {"keys", instance.keys},
                                               {"value", *value.value}},
                                              deadline_);
        const uint32_t status = management::StatusOf(answer);
        if (const SnmpError error = SetErrorOf(status, instance.attribute->typeCode())) {
            netsnmp_set_request_error(info, request, error);
            stoppedSet_ = info->asp;
        }
    }

    // Why a set of a table's row cannot be made there: the row's first key attribute is read,
    // and a row that is not found cannot be created. Nothing for a group without keys.
    SnmpError RowError(uint32_t component, const Instance& instance) {
        const GroupTree& group = *instance.group;
        if (!group.IsTable()) {
            return kNoError;
        }
        const uint32_t status = management::StatusOf(
            Read(component, group.info.id, group.info.keys.at(0), instance.keys));
        switch (status) {
            case DMIERR_NO_ERROR:
            case DMIERR_VALUE_UNKNOWN:
                return kNoError;
            default:
                return SetErrorOf(status, instance.attribute->typeCode());
        }
    }

    // Sends an event as a notification; its sysUpTime says when the event arrived, also for
    // one that waited for the master agent.
    void SendNotification(const json& event, Clock::time_point arrived) {
        const uint32_t component = event.value("component", 0u);
        const auto found = registered_.find(component);
        const json& rows = event.value("rows", json::array());
        if (found == registered_.end() || rows.empty()) {
            Log("an event of component " + std::to_string(component) +
                " that no registered subtree describes; not sent");
            return;
        }
        const ComponentTree& tree = found->second->tree;
        netsnmp_variable_list* variables = nullptr;
        const auto waited =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - arrived).count();
        const u_long uptime = netsnmp_get_agent_uptime();
        const u_long ticks =
            waited / 10 < static_cast<long long>(uptime) ? uptime - waited / 10 : 0;
        snmp_varlist_add_variable(&variables, kSysUpTime, OID_LENGTH(kSysUpTime), ASN_TIMETICKS,
                                  &ticks, sizeof ticks);
        const auto trapOid =
            ToNetsnmp(NotificationOid(options_.prefix, component, rows[0].value("group", 0u)));
        snmp_varlist_add_variable(&variables, kSnmpTrapOid, OID_LENGTH(kSnmpTrapOid), ASN_OBJECT_ID,
                                  trapOid.data(), trapOid.size() * sizeof(oid));
        for (const json& row : rows) {
            const GroupTree* group = tree.Find(row.value("group", 0u));
            const auto index = IndexOfKeys(row.value("keys", json::array()));
            for (const json& value : row.value("values", json::array())) {
                const uint32_t id = value.value("id", 0u);
                const management::AttributeInfo* attribute = group ? group->Find(id) : nullptr;
                const uint32_t type = attribute ? attribute->typeCode() : value.value("type", 0u);
                const auto converted = ToSnmpValue(value, type);
                if (group == nullptr || !converted || (group->IsTable() && !index)) {
                    continue;
                }
                Oid name = group->IsTable()
                               ? ColumnOid(options_.prefix, component, group->info.id, id)
                               : ScalarOid(options_.prefix, component, group->info.id, id);
                if (group->IsTable()) {
                    name.insert(name.end(), index->begin(), index->end());
                }
                const auto oidName = ToNetsnmp(name);
                netsnmp_variable_list* added = snmp_varlist_add_variable(
                    &variables, oidName.data(), oidName.size(), ASN_NULL, nullptr, 0);
                SetVarValue(added, *converted);
            }
        }
        send_v2trap(variables);
        snmp_free_varbind(variables);
        Log("event " + std::to_string(event.value("sequence", 0)) + " sent as a notification",
            LogPriority::Info);
    }

    SubagentOptions options_;
    ServiceProvider provider_;
    std::map<uint32_t, std::unique_ptr<Registered>> registered_;
    std::map<std::pair<uint32_t, uint32_t>,
             std::pair<uint32_t, std::chrono::steady_clock::time_point>>
        rowCounts_;
    // Readings fetched ahead for get-nexts (a "get" answer's shape), each kept for
    // kReadAheadLife and all dropped by a set or an event.
    using ReadingKey = std::tuple<uint32_t, uint32_t, uint32_t, std::string>;
    struct Reading {
        json answer;
        std::chrono::steady_clock::time_point read;
    };
    std::map<ReadingKey, Reading> readAhead_;
    EventFollower* follower_ = nullptr;
    uint64_t setsSeen_ = 0;
    bool reachable_ = true;
    // The master agent's current request: when its answer is due.
    Clock::duration budget_;
    Clock::time_point deadline_;
    const void* session_ = nullptr;
    long transaction_ = -1;
    // The set whose write failed: its later varbinds are not written.
    const void* stoppedSet_ = nullptr;
    std::optional<Clock::time_point> lastFailureLogged_;
    uint64_t unsaidFailures_ = 0;
    struct Waiting {
        json event;
        Clock::time_point arrived;
    };
    std::deque<Waiting> waiting_;
};

Subagent* running = nullptr;

void OnRefreshAlarm(unsigned int, void*) {
    running->Refresh();
}

void OnEvents(int, void* follower) {
    running->SendEvents(*static_cast<EventFollower*>(follower));
}

}  // namespace

int RunSubagent(const SubagentOptions& options) {
    struct sigaction stop {};
    stop.sa_handler = OnStopSignal;  // no SA_RESTART: the main loop's wait ends at once
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // Nothing from the machine's SNMP configuration, MIB files or persistent state: all that
    // this subagent needs is on its command line.
    setenv("MIBS", "", 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    RouteNetsnmpLog();
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
    if (!options.agentxSocket.empty()) {
        netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET,
                              options.agentxSocket.c_str());
    }
    snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_START, OnMasterSession,
                           nullptr);
    snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_STOP, OnMasterSession,
                           nullptr);
    init_agent(kAppName);
    // Also how a master that went away is found again: its registrations are sent anew. Set
    // after init_agent, which gives it its default.
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL,
                       options.pingSeconds);
    init_snmp(kAppName);

    Subagent subagent(options);
    running = &subagent;
    subagent.Refresh();
    snmp_alarm_register(static_cast<unsigned>(options.refreshSeconds), SA_REPEAT, OnRefreshAlarm,
                        nullptr);
    {
        EventFollower events(options.managementSocket, options.replyTimeout);
        subagent.Follow(&events);
        register_readfd(events.readFd(), OnEvents, &events);
        if (main_session == nullptr) {
            // The library has said it could not connect; say what happens next.
            const char* master =
                netsnmp_ds_get_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET);
            Log("waiting for snmpd: no AgentX master answers on " +
                std::string(master != nullptr ? master : "its default socket") +
                "; trying again every " + std::to_string(options.pingSeconds) +
                " s, then serving under " + FormatOid(options.prefix));
        } else {
            Log("serving under " + FormatOid(options.prefix));
        }
        while (stopRequested == 0) {
            agent_check_and_process(1);
            subagent.SendWaiting();
        }
        unregister_readfd(events.readFd());
        subagent.Follow(nullptr);
    }
    running = nullptr;
    snmp_shutdown(kAppName);
    Log("stopped");
    return 0;
}

}  // namespace korvo::snmp
