// The simulator's settings: start values of the model as KEY=VALUE pairs, from a settings file
// (with # comments and blank lines) and from the command line. The keys are those of
// AdapterModel::ApplySetting.
#pragma once

#include <string>
#include <vector>

#include "adapter_model.h"

namespace korvo::adapter {

struct Setting {
    std::string source;  // where it came from, for messages: "FILE:LINE" or "--variant"
    std::string key;
    std::string value;
};

// Appends the settings of the file to `settings`. Returns an empty string on success, otherwise
// "FILE[:LINE]: what was wrong".
std::string ReadSettingsFile(const std::string& path, std::vector<Setting>& settings);

// Applies `settings` to `model`: every `variant` first, then the rest, each group in order. So
// driver.name and driver.version override the variant's own wherever they stand, and a later
// setting of a key overrides an earlier one. Returns an empty string on success, otherwise
// "SOURCE: what was wrong"; the model may then hold part of the settings and is not to be served.
std::string ApplySettings(AdapterModel& model, const std::vector<Setting>& settings);

}  // namespace korvo::adapter
