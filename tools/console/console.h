// One run of a console command: the command line, where output and errors go, the service
// provider's connection made on first use, and the command functions that the command table
// (command_table.cpp) names. Each command builds its result as the document --json prints,
// which TextRenderer shows to people.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "console/command_line.h"
#include "console/text_renderer.h"
#include "console/window_messages.h"
#include "management/component_catalog.h"
#include "management/management_client.h"

namespace korvo::console {

class Console {
  public:
    Console(const CommandLine& line, std::ostream& out, std::ostream& err);
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // Runs the command its row of the command table names; returns the exit status.
    int Run();

    // The commands. Listings (console_commands.cpp):
    int Components();
    int Groups();
    int Attributes();
    int Stats();
    int Help();
    int Completion();
    // Reads and writes of attributes (attribute_commands.cpp):
    int Get();
    int GetNext();
    int Walk();
    int Set();
    // What follows the service provider as it goes (following_commands.cpp, log_command.cpp):
    int Events();
    int Watch();
    int Log();
    // Window messages (window_commands.cpp):
    int PostTimer();
    int PostMessage();

  private:
    // What get, get-next and watch read: COMPONENT GROUP ATTRIBUTE[,ATTRIBUTE...] [KEY...].
    struct Target {
        uint32_t component;
        uint32_t group;
        std::vector<uint32_t> attributes;
        nlohmann::json keys;
    };

    management::ManagementClient& Client();
    void PrintJson(const nlohmann::json& document);
    void PrintJsonLine(const nlohmann::json& document);
    void ReportFailure(const nlohmann::json& result);
    // A command's result: the document itself for --json, else its rendering for people.
    void Show(const nlohmann::json& document, void (TextRenderer::*render)(const nlohmann::json&));
    template <typename RenderText>
    void Show(const nlohmann::json& document, RenderText renderText) {
        if (line_.json) {
            PrintJson(document);
        } else {
            renderText();
        }
    }

    nlohmann::json KeysWithIds(uint32_t component, uint32_t groupId,
                               const std::vector<nlohmann::json>& keys);
    nlohmann::json Subject(uint32_t component, uint32_t groupId, uint32_t attribute,
                           const nlohmann::json& keys);
    Target ReadTarget();
    nlohmann::json RowKeys(std::string_view op, uint32_t component, uint32_t groupId,
                           const nlohmann::json& keys, nlohmann::json& end);
    int Read(std::string_view op);

    nlohmann::json AnnotateEvent(const nlohmann::json& event);
    int LoggedEvents();
    int FollowEvents();
    uint64_t LastLoggedSequence();
    void SayReconnecting(bool& away, const management::ConnectionError& lost);

    std::string LogPath();
    void ShowLogLine(const std::string& path, const std::string& line);
    int FollowLog(std::ifstream& file, const std::string& path);

    int Post(const std::string& className, const WindowMessage& message, const char* name);

    const CommandLine& line_;
    std::ostream& out_;
    std::ostream& err_;
    std::optional<management::ManagementClient> client_;
    management::ComponentCatalog catalog_;
    TextRenderer text_;
};

}  // namespace korvo::console
