// How the console shows its results to a person: one renderer per kind of result, each turning
// the document that --json prints into aligned tables and lines. What the document names only
// by id (a component's name, a group's class, an attribute's MIF type) is looked up in the
// catalog; nothing here reads a value.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include <nlohmann/json.hpp>

#include "management/component_catalog.h"

namespace korvo::console {

class TextRenderer {
  public:
    TextRenderer(std::ostream& out, management::ComponentCatalog& catalog)
        : out_(out), catalog_(catalog) {}

    // --value-only: reads show their values alone; --numeric: attributes named by their ids.
    void SetForm(bool valueOnly, bool numeric) {
        valueOnly_ = valueOnly;
        numeric_ = numeric;
    }
    // walk --rows N: each table shows its first and last N rows.
    void SetRowsShown(std::optional<uint64_t> rows) { rowsShown_ = rows; }

    void Components(const nlohmann::json& document);
    void Groups(const nlohmann::json& document);
    void Attributes(const nlohmann::json& document);
    void Reading(const nlohmann::json& document);   // get and get-next of one attribute
    void Readings(const nlohmann::json& document);  // of several: {"results":[...]}
    void WatchSample(const nlohmann::json& sample);
    void LogLine(const std::string& line);
    void Written(const nlohmann::json& document);  // set

    // A walk shows each group as soon as it is read: its heading before its reads.
    void WalkHeading(const nlohmann::json& document);
    void WalkGroupHeading(const nlohmann::json& group);
    void WalkGroupBody(uint32_t component, const nlohmann::json& group);

    // `since` is what the command line asked for, which an empty log is described by.
    void Events(const nlohmann::json& document, uint64_t since);
    void Event(const nlohmann::json& event);
    void Stats(const nlohmann::json& document);
    // `name` is the message's name as typed, or null when it was given as a number.
    void Posted(const nlohmann::json& document, const char* name);

  private:
    std::string ComponentTitle(uint32_t component);
    std::string TypeCell(uint32_t component, uint32_t group, const nlohmann::json& reading);

    std::string Label(const nlohmann::json& document) const;

    std::ostream& out_;
    management::ComponentCatalog& catalog_;
    bool valueOnly_ = false;
    bool numeric_ = false;
    std::optional<uint64_t> rowsShown_;
};

}  // namespace korvo::console
