// The handler that answers the master agent: get, get-next and a set's two test phases, each
// within the time the master agent's timeout leaves, and an error for what could not be read.
#include <chrono>
#include <string>

#include "management/component_catalog.h"
#include "management/management_client.h"
#include "management/management_requests.h"
#include "dmi/dmi.h"
#include "snmp/log.h"
#include "snmp/subagent_internal.h"

namespace korvo::snmp {

namespace {

constexpr auto kFailureLogInterval = std::chrono::seconds(10);

}  // namespace

int Subagent::Handle(netsnmp_mib_handler*, netsnmp_handler_registration* registration,
                     netsnmp_agent_request_info* info, netsnmp_request_info* requests) {
    auto* entry = static_cast<Registered*>(registration->my_reg_void);
    entry->owner->BeginRequest(info);
    for (netsnmp_request_info* request = requests; request != nullptr; request = request->next) {
        if (request->processed) {
            continue;
        }
        entry->owner->Answer(*entry, info, request);
    }
    return SNMP_ERR_NOERROR;
}

// Sets when the answer to the master agent's current request is due. The handler is
// called once per registration, and a set's two test phases share the master's one
// timeout; a request is told apart by its agent session and transaction.
void Subagent::BeginRequest(netsnmp_agent_request_info* info) {
    const long transaction =
        info->asp != nullptr && info->asp->pdu != nullptr ? info->asp->pdu->transid : -1;
    const bool sameSet = info->mode == MODE_SET_RESERVE2 && transaction == transaction_;
    if ((info->asp != session_ || transaction != transaction_) && !sameSet) {
        deadline_ = Clock::now() + budget_;
    }
    session_ = info->asp;
    transaction_ = transaction;
}

json Subagent::Read(uint32_t component, uint32_t group, uint32_t attribute, const json& keys) {
    return provider_.Request(management::request::Get(component, group, attribute, keys),
                             deadline_);
}

void Subagent::Answer(const Registered& entry, netsnmp_agent_request_info* info,
                      netsnmp_request_info* request) {
    netsnmp_variable_list* variable = request->requestvb;
    const Oid name = FromNetsnmp(variable->name, variable->name_length);
    const uint32_t component = entry.tree.info.id;
    try {
        switch (info->mode) {
            case MODE_GET:
                if (const auto health = HealthObjectNamed(options_.prefix, component, name)) {
                    return AnswerHealth(entry, request, *health);
                }
                return AnswerGet(entry, info, request, name);
            case MODE_GETNEXT:
                // The health objects come first in the subtree (PREFIX.C.0.0.4).
                if (const auto health = HealthObjectAfter(options_.prefix, component, name)) {
                    return AnswerHealth(entry, request, *health);
                }
                return AnswerGetNext(entry, info, request, name);
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
        if (!setting) {
            NoteFailure(component, DMIERR_NO_ERROR,
                        FormatOid(name) + ": request failed: " + error.what());
        }
        if (info->mode == MODE_SET_RESERVE2) {
            stoppedSet_ = info->asp;
        }
        netsnmp_set_request_error(info, request,
                                  setting ? SNMP_ERR_RESOURCEUNAVAILABLE : SNMP_ERR_GENERR);
    }
}

// Failures said at most once every kFailureLogInterval, with how many went unsaid, so
// that a stalled device under load does not flood the log.
void Subagent::LogFailure(const std::string& text) {
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

void Subagent::AnswerGet(const Registered& entry, netsnmp_agent_request_info* info,
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
    const json answer =
        Read(entry.tree.info.id, instance.group->info.id, instance.attribute->id, instance.keys);
    const uint32_t status = management::StatusOf(answer);
    const auto value = status == DMIERR_NO_ERROR && answer.contains("value")
                           ? ToSnmpValue(answer["value"], instance.attribute->typeCode())
                           : std::nullopt;
    // An answer without a value, or with one that does not fit its type, is a failed read.
    const ReadFailure failure =
        status != DMIERR_NO_ERROR ? ReadFailureOfAnswer(answer) : ReadFailure::Failed;
    if (!value) {
        if (failure == ReadFailure::Failed) {
            NoteFailure(entry.tree.info.id, status, FailedReadText(FormatOid(name), answer));
        }
        netsnmp_set_request_error(info, request, ReadError(failure));
        return;
    }
    SetVarValue(request->requestvb, *value);
}

// A get-next: the next instance a walk finds, read ahead with the rest of its group, and
// the rows of its table counted for a moment.
void Subagent::AnswerGetNext(const Registered& entry, netsnmp_agent_request_info* info,
                             netsnmp_request_info* request, const Oid& name) {
    const uint32_t component = entry.tree.info.id;
    bool failed = false;
    // The last read, which is the one that failed when the walk ends in an error.
    json lastAnswer;
    Oid lastName;
    const ReadFunction read = [&](uint32_t g, uint32_t a, const json& keys) {
        lastName = keys.empty() ? ScalarOid(options_.prefix, component, g, a)
                                : ColumnOid(options_.prefix, component, g, a);
        if (const auto index = IndexOfKeys(keys)) {
            lastName.insert(lastName.end(), index->begin(), index->end());
        }
        lastAnswer = ReadAhead(entry.tree, g, a, keys);
        return lastAnswer;
    };
    const RowCounter rows{
        [&](const GroupTree& group) { return Rows(component, group, read); },
        [&](const GroupTree& group, uint32_t count) {
            rowCounts_[{component, group.info.id}] = {count, std::chrono::steady_clock::now()};
        }};
    const auto next = FindNext(entry.tree, options_.prefix, name, read, rows, &failed);
    if (failed) {
        NoteFailure(component, management::StatusOf(lastAnswer),
                    FailedReadText(FormatOid(lastName), lastAnswer));
        netsnmp_set_request_error(info, request, SNMP_ERR_GENERR);
    } else if (next) {
        netsnmp_variable_list* variable = request->requestvb;
        const auto oid = ToNetsnmp(next->instance.oid);
        snmp_set_var_objid(variable, oid.data(), oid.size());
        SetVarValue(variable, next->value);
    }
}

// A set is checked whole before anything is written: in the first test phase every
// varbind's name, access, type and value, and that its row exists. The writes follow in
// the second phase, in the varbinds' order, each answering the error that says why the
// instrumentation refused it; the first that fails ends the set. DMI has no transactions:
// the writes before it stay, and the varbinds after it are not written.
void Subagent::AnswerSet(const Registered& entry, netsnmp_agent_request_info* info,
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
    const SetValue value =
        offered ? FromSnmpValue(*offered, *instance.attribute) : SetValue{std::nullopt, kWrongType};
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
    const json answer = provider_.Request(
        management::request::Set(component, instance.group->info.id, instance.attribute->id,
                                 instance.keys, *value.value),
        deadline_);
    const uint32_t status = management::StatusOf(answer);
    if (const SnmpError error = SetErrorOf(status, instance.attribute->typeCode())) {
        netsnmp_set_request_error(info, request, error);
        stoppedSet_ = info->asp;
    }
}

// Why a set of a table's row cannot be made there: the row's first key attribute is read,
// and a row that is not found cannot be created. Nothing for a group without keys.
SnmpError Subagent::RowError(uint32_t component, const Instance& instance) {
    const GroupTree& group = *instance.group;
    if (!group.IsTable()) {
        return kNoError;
    }
    const uint32_t status =
        management::StatusOf(Read(component, group.info.id, group.info.keys.at(0), instance.keys));
    switch (status) {
        case DMIERR_NO_ERROR:
        case DMIERR_VALUE_UNKNOWN:
            return kNoError;
        default:
            return SetErrorOf(status, instance.attribute->typeCode());
    }
}

}  // namespace korvo::snmp
