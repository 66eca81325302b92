// A walk of a component's groups: every readable attribute of a group, a table row by row until
// it ends; and why a table's walk ended, named in the document --json prints and described for
// people from one table.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "management/attribute_reads.h"
#include "management/component_catalog.h"
#include "management/management_client.h"

namespace korvo::console {

class TextRenderer;

// Rows of a table walked before the walk gives up on ever seeing "row not found".
constexpr uint32_t kWalkRowBound = 10000;

enum class WalkEnd {
    RowNotFound,          // the table's own end
    RowRepeats,           // the row answered exactly as the one before: the keys select nothing
    NoValue,              // no attribute of the row has a value
    RowBound,             // kWalkRowBound rows were read
    NoReadableAttribute,  // every attribute is write-only
    ReadFailed,           // a key attribute of the row could not be read: the walk is cut short
};

// {"reason":"row not found","row":N,...} for a walk that ended at `row`.
nlohmann::json WalkEndJson(WalkEnd end, uint32_t row);

// "row 4: row not found (0x10A)", "stopped after 10000 rows", ...
std::string DescribeWalkEnd(const nlohmann::json& end);

// Keeps the first `keep` and the last `keep` rows of a table's walk document and records the
// number of rows read ("rowCount") and left out ("rowsOmitted"); a group of one row as it is.
void ElideRows(nlohmann::json& group, uint64_t keep);

// The --json document of a walk, written a group at a time so that no group's document
// outlives its turn: `head` holds every member but "groups", which comes last in the
// document's order; the text is exactly what dumping the whole document with an indent of 2
// gives.
class WalkDocumentText {
  public:
    explicit WalkDocumentText(nlohmann::json head);
    void Add(const nlohmann::json& group);
    std::string Finish();  // the whole text, without a final newline

  private:
    std::string text_;
    std::string end_;  // what follows the groups
    bool any_ = false;
};

class GroupWalk {
  public:
    // `client` connects on first use; `text`, when not null, shows each group as it is read.
    GroupWalk(std::function<management::ManagementClient&()> client,
              management::ComponentCatalog& catalog, TextRenderer* text)
        : client_(std::move(client)), catalog_(catalog), text_(text) {}

    // Walks `groups` in order, handing each group's document to `walked` as it is done: its
    // id, name, class and keys, then "attributes" (a group of one row), "rows" and "end" (a
    // table), or "status" and "error" when its attributes cannot be listed. Every group's
    // attribute listing, then every group's first read, goes out at once, and each answer is
    // walked while the service provider reads the next; a table longer than one request asks
    // for the rest on its own.
    void WalkGroups(uint32_t component, std::span<const management::GroupInfo* const> groups,
                    const std::function<void(nlohmann::json)>& walked);

  private:
    // `firstAnswer`, when given, is the answer to FirstRequest's request, already asked.
    nlohmann::json Walk(uint32_t component, const management::GroupInfo& group,
                        std::optional<nlohmann::json> firstAnswer);
    // The first request a walk of the group makes; null when it makes none (no attribute to
    // read, or its attributes cannot be listed).
    nlohmann::json FirstRequest(uint32_t component, const management::GroupInfo& group);
    // The answer to `request`: the first answer given to Walk, else the service provider's.
    nlohmann::json Ask(const nlohmann::json& request);

    nlohmann::json SingleRow(uint32_t component, const management::GroupInfo& group,
                             const std::vector<management::AttributeInfo>& attributes);
    void Table(uint32_t component, const management::GroupInfo& group,
               const std::vector<management::AttributeInfo>& attributes, nlohmann::json& document);

    std::function<management::ManagementClient&()> client_;
    management::ComponentCatalog& catalog_;
    TextRenderer* text_;
    std::optional<nlohmann::json> given_;
};

}  // namespace korvo::console
