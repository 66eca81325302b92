// Reading and applying the simulator's KEY=VALUE settings.
#include "settings_file.h"

#include <fstream>
#include <string_view>

namespace korvo::adapter {
namespace {

std::string Trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const size_t last = text.find_last_not_of(" \t\r");
    return std::string(text.substr(first, last - first + 1));
}

}  // namespace

std::string ReadSettingsFile(const std::string& path, std::vector<Setting>& settings) {
    std::ifstream file(path);
    if (!file) {
        return path + ": cannot be read (check the path given with --config)";
    }
    std::string line;
    for (size_t number = 1; std::getline(file, line); ++number) {
        const std::string content = Trimmed(line);
        if (content.empty() || content[0] == '#') {
            continue;
        }
        const std::string source = path + ":" + std::to_string(number);
        const size_t equals = content.find('=');
        if (equals == std::string::npos) {
            return source + ": expected KEY=VALUE, found '" + content + "'";
        }
        settings.push_back({source, Trimmed(std::string_view(content).substr(0, equals)),
                            Trimmed(std::string_view(content).substr(equals + 1))});
    }
    if (file.bad()) {
        return path + ": read error";
    }
    return {};
}

std::string ApplySettings(AdapterModel& model, const std::vector<Setting>& settings) {
    for (const bool variantPass : {true, false}) {
        for (const Setting& setting : settings) {
            if ((setting.key == "variant") != variantPass) {
                continue;
            }
            const std::string error = model.ApplySetting(setting.key, setting.value);
            if (!error.empty()) {
                return setting.source + ": " + error;
            }
        }
    }
    return {};
}

}  // namespace korvo::adapter
