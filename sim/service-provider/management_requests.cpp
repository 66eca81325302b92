// The management protocol's requests (see korvo/management_protocol.h), answered from the
// database, the attribute routing and the event log; and the socket that carries them.
#include "provider.h"

#include <algorithm>

#include "korvo/management_protocol.h"
#include "management_answer.h"
#include "sp_log.h"

namespace korvo::sp {
namespace {

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
    if (outcome.status == DMIERR_VALUE_UNKNOWN && !outcome.called) {
        answer[management::kUnservedMember] = true;
    }
    return answer;
}

// A request's "keys": without ids they take those of the group's key attributes, in order.
// On failure returns the status to answer and sets `error`.
DmiErrorStatus RequestKeys(const nlohmann::json& request, const mif::Group* group,
                           std::vector<AttributeValue>* keys, std::string* error) {
    const auto given = request.find("keys");
    if (given == request.end()) {
        return DMIERR_NO_ERROR;
    }
    if (!given->is_array()) {
        *error = "\"keys\" must be an array";
        return DMIERR_ILL_FORMED_COMMAND;
    }
    for (size_t i = 0; i < given->size(); ++i) {
        const uint32_t defaultId = group != nullptr && i < group->keys.size() ? group->keys[i] : 0;
        AttributeValue key;
        if (const DmiErrorStatus status =
                FromJson((*given)[i], defaultId, MIF_INTEGER, &key, error)) {
            *error = "key " + std::to_string(i + 1) + ": " + *error;
            return status;
        }
        keys->push_back(std::move(key));
    }
    return DMIERR_NO_ERROR;
}

// The attributes a multi-value request reads: those it lists, else each of the group's that
// is not write-only.
bool RequestedAttributes(const nlohmann::json& request, const mif::Group& group,
                         std::vector<DmiId>* ids, std::string* error) {
    const auto given = request.find("attributes");
    if (given == request.end()) {
        for (const mif::Attribute& attribute : group.attributes) {
            if (attribute.access != mif::Access::WriteOnly) {
                ids->push_back(attribute.id);
            }
        }
        return true;
    }
    if (!given->is_array()) {
        *error = "\"attributes\" must be an array of attribute ids";
        return false;
    }
    for (const auto& id : *given) {
        if (!id.is_number_unsigned() || id.get<uint64_t>() > 0xFFFFFFFFull) {
            *error = "\"attributes\" must be an array of attribute ids";
            return false;
        }
        ids->push_back(id.get<uint32_t>());
    }
    return true;
}

}  // namespace

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

std::string Provider::Handle(const nlohmann::json& request) {
    namespace op = management::op;
    using management::AnswerKind;
    using Document = nlohmann::json (Provider::*)(const nlohmann::json&);
    using Text = std::string (Provider::*)(const nlohmann::json&);
    // What answers each op of management::kOps but the streams, which the server runs itself:
    // a document, or (the multi-value reads) text written straight.
    struct DocumentHandler {
        std::string_view op;
        Document answer;
    };
    struct TextHandler {
        std::string_view op;
        Text answer;
    };
    static constexpr DocumentHandler kDocuments[] = {
        {op::kListComponents, &Provider::ListComponentsJson},
        {op::kListGroups, &Provider::ListGroupsJson},
        {op::kListAttributes, &Provider::ListAttributesJson},
        {op::kGet, &Provider::AttributeRequestJson},
        {op::kGetNext, &Provider::AttributeRequestJson},
        {op::kSet, &Provider::AttributeRequestJson},
        {op::kEvents, &Provider::EventsJson},
        {op::kStats, &Provider::StatsAnswerJson},
    };
    static constexpr TextHandler kTexts[] = {
        {op::kGetRow, &Provider::MultipleGetText},
        {op::kGetRows, &Provider::MultipleGetText},
        {op::kGetGroup, &Provider::MultipleGetText},
    };
    // Names only: a member pointer is no constant to compare in every build.
    constexpr auto handlers = [](std::string_view name, const auto& table) {
        return std::ranges::count_if(table,
                                     [&](const auto& handler) { return handler.op == name; });
    };
    static_assert(std::ranges::all_of(management::kOps,
                                      [&](const management::OpEntry& entry) {
                                          return handlers(entry.name, kDocuments) ==
                                                     (entry.answer == AnswerKind::kDocument) &&
                                                 handlers(entry.name, kTexts) ==
                                                     (entry.answer == AnswerKind::kText);
                                      }) &&
                      std::size(kDocuments) + std::size(kTexts) + 1 == std::size(management::kOps),
                  "each op but the stream has one handler of its answer's kind");
    const auto given = request.find("op");
    if (given == request.end() || !given->is_string()) {
        return AnswerText(Answer(DMIERR_ILL_FORMED_COMMAND, "a request needs an \"op\" string"));
    }
    const std::string name = given->get<std::string>();
    for (const DocumentHandler& handler : kDocuments) {
        if (name == handler.op) {
            return AnswerText((this->*handler.answer)(request));
        }
    }
    for (const TextHandler& handler : kTexts) {
        if (name == handler.op) {
            return (this->*handler.answer)(request);
        }
    }
    return AnswerText(Answer(DMIERR_ILL_FORMED_COMMAND, "unknown op \"" + name + "\""));
}

nlohmann::json Provider::EventsJson(const nlohmann::json& request) {
    uint64_t since = 0;
    if (nlohmann::json refusal; !SinceMember(request, &since, &refusal)) {
        return refusal;
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

nlohmann::json Provider::StatsAnswerJson(const nlohmann::json&) {
    nlohmann::json answer = Answer(DMIERR_NO_ERROR);
    answer.update(StatsJson());
    return answer;
}

nlohmann::json Provider::ListComponentsJson(const nlohmann::json&) {
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
    const Found found = Find(componentId);
    if (found.status != DMIERR_NO_ERROR) {
        return Answer(found.status, found.error);
    }
    nlohmann::json answer = Answer(DMIERR_NO_ERROR);
    answer["groups"] = nlohmann::json::array();
    for (const mif::Group& group : found.component->groups) {
        answer["groups"].push_back({{"id", group.id},
                                    {"name", group.name},
                                    {"class", group.className},
                                    {"description", group.description},
                                    {"keys", group.keys}});
    }
    return answer;
}

// The group a request's "component" and "group" name, or why there is none.
Found Provider::FindRequestGroup(const nlohmann::json& request, DmiId* componentId,
                                 DmiId* groupId) {
    std::string error;
    if (!MemberId(request, "component", componentId, &error) ||
        !MemberId(request, "group", groupId, &error)) {
        return {DMIERR_ILL_FORMED_COMMAND, error, nullptr, nullptr, nullptr};
    }
    return Find(*componentId, *groupId);
}

nlohmann::json Provider::ListAttributesJson(const nlohmann::json& request) {
    DmiId componentId = 0;
    DmiId groupId = 0;
    const Found found = FindRequestGroup(request, &componentId, &groupId);
    if (found.status != DMIERR_NO_ERROR) {
        return Answer(found.status, found.error);
    }
    nlohmann::json answer = Answer(DMIERR_NO_ERROR);
    answer["attributes"] = nlohmann::json::array();
    for (const mif::Attribute& attribute : found.group->attributes) {
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

nlohmann::json Provider::AttributeRequestJson(const nlohmann::json& request) {
    const std::string op = request["op"].get<std::string>();
    uint32_t componentId = 0;
    uint32_t groupId = 0;
    uint32_t attributeId = 0;
    std::string error;
    if (!MemberId(request, "component", &componentId, &error) ||
        !MemberId(request, "group", &groupId, &error) ||
        !MemberId(request, "attribute", &attributeId, &error)) {
        return Answer(DMIERR_ILL_FORMED_COMMAND, error);
    }
    // A value without a type takes the attribute's type from the MIF.
    const Found found = Find(componentId, groupId);
    const mif::Group* group = found.group;
    std::vector<AttributeValue> keys;
    if (const DmiErrorStatus status = RequestKeys(request, group, &keys, &error)) {
        return Answer(status, error);
    }
    if (op != management::op::kSet) {
        return OutcomeJson(
            Get(componentId, groupId, attributeId, keys, op == management::op::kGetNext));
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
    nlohmann::json answer = OutcomeJson(Set(componentId, groupId, attributeId, keys, value));
    if (answer["status"] == DMIERR_NO_ERROR) {
        // Told to the subscribers before the writer hears of it, so that a cache a subscriber
        // keeps never outlives a write by another client.
        if (const auto log = Events(&error)) {
            log->NoticeSet({{"component", componentId},
                            {"group", groupId},
                            {"attribute", attributeId},
                            {"keys", request.value("keys", nlohmann::json::array())}});
        }
    }
    return answer;
}

}  // namespace korvo::sp

namespace korvo::sp {

// The readings of `rows` rows from the one `keys` selects (the first key counting up by one),
// each attribute read on its own as Get would, side by side on the read pool. A row is not
// found when a read of it finds no such row. A key attribute whose instrumentation answers
// anything else but a value leaves the row's existence unknown: that reading is kept as the
// row's key failure. (A key that no instrumentation serves has no value in any row; such rows
// end the table as "no value".) Neither kind of row is followed by another in a listing, so
// the reads after it are left out, and the rows after it come back empty.
std::vector<Provider::RowReadings> Provider::ReadRows(const Found& found,
                                                      const std::vector<DmiId>& attributes,
                                                      const std::vector<AttributeValue>& keys,
                                                      size_t rows) {
    const mif::Group& group = *found.group;
    const size_t width = attributes.size();
    std::vector<std::vector<AttributeValue>> rowKeys(rows, keys);
    for (size_t row = 1; row < rows; ++row) {
        rowKeys[row][0].integer += row;
    }
    auto isKey = [&](DmiId attributeId) {
        return std::find(group.keys.begin(), group.keys.end(), attributeId) != group.keys.end();
    };
    std::vector<Outcome> outcomes(rows * width);
    ReadSideBySide(outcomes.size(), [&](size_t i) {
        const size_t row = i / width;
        Outcome& outcome = outcomes[i];
        outcome = Get(found, attributes[i % width], rowKeys[row], false);
        if (outcome.status == DMIERR_ROW_NOT_FOUND) {
            return i;
        }
        const bool hasValue = outcome.status == DMIERR_NO_ERROR && outcome.value;
        return !hasValue && outcome.called && isKey(attributes[i % width]) ? (row + 1) * width - 1
                                                                           : outcomes.size();
    });

    std::vector<RowReadings> readings(rows);
    for (size_t row = 0; row < rows; ++row) {
        RowReadings& read = readings[row];
        read.readings = "[";
        const auto first = outcomes.begin() + static_cast<std::ptrdiff_t>(row * width);
        read.rowNotFound = std::any_of(
            first, first + static_cast<std::ptrdiff_t>(width),
            [](const Outcome& outcome) { return outcome.status == DMIERR_ROW_NOT_FOUND; });
        if (read.rowNotFound) {
            break;
        }
        for (size_t column = 0; column < width; ++column) {
            const Outcome& outcome = first[static_cast<std::ptrdiff_t>(column)];
            const bool hasValue = outcome.status == DMIERR_NO_ERROR && outcome.value;
            read.anyValue = read.anyValue || hasValue;
            if (column > 0) {
                read.readings += ',';
            }
            if (hasValue) {
                // The common case, written straight: {"id":A,"status":0,"value":VALUE}.
                read.readings +=
                    "{\"id\":" + std::to_string(attributes[column]) + ",\"status\":0,\"value\":";
                AppendJsonText(*outcome.value, &read.readings);
                read.readings += '}';
                continue;
            }
            nlohmann::json reading = OutcomeJson(outcome);
            reading["id"] = attributes[column];
            read.readings += AnswerText(reading);
            if (outcome.called && read.keyFailure.is_null() && isKey(attributes[column])) {
                read.keyFailure = std::move(reading);
            }
        }
        read.readings += ']';
        if (!read.keyFailure.is_null()) {
            break;
        }
    }
    return readings;
}

// The answer to get-row, get-rows or get-group, written as text: the readings, which are
// most of it, straight (see ReadRows), the rest through the JSON library.
std::string Provider::MultipleGetText(const nlohmann::json& request) {
    const std::string op = request["op"].get<std::string>();
    DmiId componentId = 0;
    DmiId groupId = 0;
    const Found found = FindRequestGroup(request, &componentId, &groupId);
    if (found.status != DMIERR_NO_ERROR) {
        return AnswerText(Answer(found.status, found.error));
    }
    std::string error;
    std::vector<DmiId> attributes;
    if (!RequestedAttributes(request, *found.group, &attributes, &error)) {
        return AnswerText(Answer(DMIERR_ILL_FORMED_COMMAND, error));
    }
    std::vector<AttributeValue> keys;
    if (op == management::op::kGetGroup) {
        for (const DmiId key : found.group->keys) {
            keys.push_back({key, MIF_INTEGER, 1, {}});
        }
    } else if (const DmiErrorStatus status = RequestKeys(request, found.group, &keys, &error)) {
        return AnswerText(Answer(status, error));
    }
    if (op == management::op::kGetRow || (op == management::op::kGetGroup && keys.empty())) {
        RowReadings row = std::move(ReadRows(found, attributes, keys, 1)[0]);
        if (row.rowNotFound) {
            return AnswerText(Answer(DMIERR_ROW_NOT_FOUND));
        }
        return "{\"status\":0,\"attributes\":" + row.readings + "}";
    }

    uint64_t count = management::kMaxRowsPerRequest;
    if (const auto given = request.find("count"); given != request.end()) {
        if (!given->is_number_unsigned() || given->get<uint64_t>() == 0 ||
            given->get<uint64_t>() > management::kMaxRowsPerRequest) {
            return AnswerText(Answer(DMIERR_ILL_FORMED_COMMAND,
                                     "\"count\" must be a number from 1 to " +
                                         std::to_string(management::kMaxRowsPerRequest)));
        }
        count = given->get<uint64_t>();
    }
    if (keys.empty() || IsStringType(keys[0].type)) {
        return AnswerText(
            Answer(DMIERR_ILL_FORMED_COMMAND,
                   "\"get-rows\" counts rows by its first key, which must be an integer"));
    }
    return ListRowsText(found, attributes, std::move(keys), count);
}

// The rows of a get-rows (or a table's get-group) answer, from the row `keys` selects, at most
// `count`, and where the table ended first.
std::string Provider::ListRowsText(const Found& found, const std::vector<DmiId>& attributes,
                                   std::vector<AttributeValue> keys, uint64_t count) {
    std::string listed;  // the rows listed, as text
    std::string last;    // the readings of the last row listed
    nlohmann::json end;
    auto endAt = [&end](const char* reason, uint64_t index) {
        end = {{"reason", reason}, {"index", index}};
    };
    // The next row in order: false when the listing ends at it.
    uint64_t index = 0;
    auto take = [&](RowReadings& row) {
        if (row.rowNotFound) {
            endAt(management::kEndRowNotFound, index);
            return false;
        }
        if (!row.keyFailure.is_null()) {
            // Neither a row nor the table's end: the listing stops at the failure and says so.
            endAt(management::kEndReadFailed, index);
            end["attribute"] = row.keyFailure["id"];
            for (const char* member : {"status", "statusName", "error"}) {
                if (row.keyFailure.contains(member)) {
                    end[member] = row.keyFailure[member];
                }
            }
            return false;
        }
        if (index > 0 && row.readings == last) {
            endAt(management::kEndRowRepeats, index);
            return false;
        }
        listed += index > 0 ? ",{\"keys\":[" : "{\"keys\":[";
        for (size_t i = 0; i < keys.size(); ++i) {
            if (i > 0) {
                listed += ',';
            }
            AppendJsonText(keys[i], &listed);
        }
        listed += "],\"attributes\":" + row.readings + "}";
        last = std::move(row.readings);
        if (!row.anyValue) {
            endAt(management::kEndNoValue, index);
            return false;
        }
        ++index;
        ++keys[0].integer;
        return true;
    };
    // The rows are read a window at a time, enough reads to keep each of the pool's readers
    // busy twice over; a window may read a few rows past the table's end, never past `count`.
    const size_t readers = Readers()->size();
    const size_t width = std::max<size_t>(attributes.size(), 1);
    const uint64_t window =
        readers == 1 ? 1 : std::max<size_t>((2 * readers + width - 1) / width, 1);
    for (bool going = true; going && index < count;) {
        std::vector<RowReadings> rows =
            ReadRows(found, attributes, keys, std::min(window, count - index));
        for (RowReadings& row : rows) {
            if (!(going = take(row))) {
                break;
            }
        }
    }
    std::string answer = "{\"status\":0,\"rows\":[" + listed + "]";
    if (!end.is_null()) {
        answer += ",\"end\":" + AnswerText(end);
    }
    return answer + "}";
}

}  // namespace korvo::sp
