// Attribute requests routed to the instrumentation that serves them, or answered from the
// values the MIF declares; the service provider owns, reads and frees every record it hands a
// callback and every record a callback returns.
#include "provider.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <shared_mutex>
#include <thread>

#include "dmi/dmi_names.h"

namespace korvo::sp {
namespace {

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

// The answer for a component that no instrumentation has registered.
Outcome NotRegistered(DmiId componentId) {
    return {DMIERR_DIRECT_INTERFACE_NOT_REGISTERED,
            "no instrumentation is registered for component " + std::to_string(componentId),
            std::nullopt};
}

// What the blocks handed to a callback are reported as, while they are outstanding.
constexpr const char* kRequestKind = "service provider: request to an instrumentation";

}  // namespace

// The attribute a request names and the instrumentation that serves it, if any.
Provider::Target Provider::Resolve(DmiId componentId, DmiId groupId, DmiId attributeId) {
    return Resolve(Find(componentId, groupId), attributeId);
}

// The same in a group already found, as a multi-value request reads it: the database is
// looked up once for the whole request.
Provider::Target Provider::Resolve(const Found& group, DmiId attributeId) {
    Target target;
    static_cast<Found&>(target) = group;
    if (target.status == DMIERR_NO_ERROR) {
        FindAttribute(&target, attributeId);
    }
    if (target.status != DMIERR_NO_ERROR) {
        return target;
    }
    const DmiId componentId = group.componentId;
    std::lock_guard lock(mutex_);
    for (const auto& [handle, ci] : registrations_) {
        if (ci.componentId != componentId) {
            continue;
        }
        target.registered = true;
        if (ci.Serves(group.group->id, attributeId)) {
            // The callbacks alone: the access list stays behind.
            target.ci = CiRegistration{ci.handle, ci.componentId, ci.get, ci.getNext, ci.set, {}};
            break;
        }
    }
    return target;
}

Outcome Provider::Get(DmiId componentId, DmiId groupId, DmiId attributeId,
                      const std::vector<AttributeValue>& keys, bool next) {
    return Get(Find(componentId, groupId), attributeId, keys, next);
}

Outcome Provider::Get(const Found& group, DmiId attributeId,
                      const std::vector<AttributeValue>& keys, bool next) {
    std::shared_lock calling(callGate_);  // the registration found stays until the call ends
    const Target target = Resolve(group, attributeId);
    if (target.status != DMIERR_NO_ERROR) {
        return {target.status, target.error, std::nullopt};
    }
    const DmiId componentId = group.componentId;
    const DmiId groupId = group.group->id;
    if (target.ci) {
        Outcome outcome = CallGet(*target.ci, componentId, groupId, attributeId, keys, next);
        outcome.called = true;
        return outcome;
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
    return NotRegistered(componentId);
}

std::shared_ptr<ReadPool> Provider::Readers() {
    std::lock_guard lock(readersMutex_);
    if (!readers_) {
        std::string error;
        const unsigned size = ReadThreads(std::getenv(kReadThreadsVariable),
                                          std::thread::hardware_concurrency(), &error);
        if (!error.empty()) {
            Log(error);
        }
        readers_ = std::make_shared<ReadPool>(size);
    }
    return readers_;
}

void Provider::ReadSideBySide(size_t count, const std::function<size_t(size_t)>& read) {
    std::atomic<size_t> needed{count};  // reads past this index are left out
    Readers()->Run(count, [&](size_t i) {
        if (i > needed.load()) {
            return;
        }
        const size_t last = read(i);
        for (size_t seen = needed.load();
             last < seen && !needed.compare_exchange_weak(seen, last);) {
        }
    });
}

std::vector<std::optional<Outcome>> Provider::GetAll(const Found& group,
                                                     const std::vector<DmiId>& attributes,
                                                     const std::vector<AttributeValue>& keys,
                                                     bool next) {
    std::vector<std::optional<Outcome>> outcomes(attributes.size());
    ReadSideBySide(attributes.size(), [&](size_t i) {
        outcomes[i] = Get(group, attributes[i], keys, next);
        const bool failed = outcomes[i]->status != DMIERR_NO_ERROR || !outcomes[i]->value;
        return failed ? i : attributes.size();
    });
    return outcomes;
}

Outcome Provider::Set(DmiId componentId, DmiId groupId, DmiId attributeId,
                      const std::vector<AttributeValue>& keys, const AttributeValue& value) {
    std::shared_lock calling(callGate_);  // the registration found stays until the call ends
    const Target target = Resolve(componentId, groupId, attributeId);
    if (target.status != DMIERR_NO_ERROR) {
        return {target.status, target.error, std::nullopt};
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
    return NotRegistered(componentId);
}

namespace {

// A callback slower than this is worth a line in sp.log.
constexpr std::chrono::milliseconds kSlowCallback{1000};

}  // namespace

template <typename Call>
DmiErrorStatus Provider::TimedCallback(const char* name, DmiId componentId, DmiId groupId,
                                       DmiId attributeId, Call call) {
    const auto start = std::chrono::steady_clock::now();
    const DmiErrorStatus status = call();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const bool refused = status != DMIERR_NO_ERROR && status != DMIERR_ROW_NOT_FOUND;
    if (!refused && elapsed < kSlowCallback) {
        return status;  // nothing to note, the common case
    }
    const std::string what = std::string("the ") + name + " callback of component " +
                             std::to_string(componentId) + " for " + PairText(groupId, attributeId);
    if (refused) {
        Note(what + " answered " + dmi::DescribeStatus(status));
    }
    if (elapsed >= kSlowCallback) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.1f",
                      std::chrono::duration<double>(elapsed).count());
        Note(what + " took " + seconds + " s");
    }
    return status;
}

Outcome Provider::CallGet(const CiRegistration& ci, DmiId componentId, DmiId groupId,
                          DmiId attributeId, const std::vector<AttributeValue>& keys, bool next) {
    const auto callback = next ? ci.getNext : ci.get;
    if (callback == nullptr) {
        return {DMIERR_VALUE_UNKNOWN, "the instrumentation has no get-next callback", std::nullopt};
    }
    DmiAttributeValues* keyList = nullptr;
    if (!keys.empty() && (keyList = heap_.NewAttributeValues(keys, kRequestKind)) == nullptr) {
        return {DMIERR_OUT_OF_MEMORY, "", std::nullopt};
    }
    DmiString* language = heap_.NewString(kLanguage, kRequestKind);
    DmiAttributeData* record = nullptr;
    Outcome outcome;
    outcome.status = TimedCallback(
        next ? "get-next" : "get", componentId, groupId, attributeId,
        [&] { return callback(componentId, groupId, attributeId, language, keyList, &record); });
    heap_.FreeRecord(keyList, RecordType::AttributeValues, kRequestKind);
    heap_.FreeRecord(language, RecordType::String, kRequestKind);
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
    DmiAttributeValues* keyList = nullptr;
    if (!keys.empty() && (keyList = heap_.NewAttributeValues(keys, kRequestKind)) == nullptr) {
        return {DMIERR_OUT_OF_MEMORY, "", std::nullopt};
    }
    DmiAttributeData* record = heap_.NewAttributeData(value, kRequestKind);
    DmiString* language = heap_.NewString(kLanguage, kRequestKind);
    Outcome outcome;
    if (record == nullptr) {
        outcome.status = DMIERR_OUT_OF_MEMORY;
    } else {
        outcome.status = TimedCallback("set", componentId, groupId, attributeId, [&] {
            return ci.set(componentId, groupId, attributeId, language, keyList, record);
        });
    }
    heap_.FreeRecord(keyList, RecordType::AttributeValues, kRequestKind);
    heap_.FreeRecord(record, RecordType::AttributeData, kRequestKind);
    heap_.FreeRecord(language, RecordType::String, kRequestKind);
    return outcome;
}

}  // namespace korvo::sp
