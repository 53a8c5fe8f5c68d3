// GET /~shell/outputs: {"text": [PATH, ...], "audio": [PATH, ...]} of the last run.
#include "run_outputs_endpoint.h"

#include <algorithm>
#include <cctype>
#include <future>
#include <nlohmann/json.hpp>

#include "message_loop.h"
#include "run.h"
#include "taloria_app.h"

namespace shell {

namespace {

bool EndsWithAnyCase(const std::string& name, const std::string& ending) {
    return name.size() >= ending.size() &&
           std::equal(
               ending.begin(), ending.end(), name.end() - static_cast<long>(ending.size()),
               [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

// The files that the completed commands of the last run wrote or named.
nlohmann::json RunOutputs() {
    const RunResult result = CollectRunResult(*TaloriaApp(), std::string());
    nlohmann::json text = nlohmann::json::array();
    nlohmann::json audio = nlohmann::json::array();
    for (const CommandResult& command : result.commands) {
        if (!command.completed) continue;
        for (const std::string& file : command.output_files) {
            if (EndsWithAnyCase(file, ".txt")) text.push_back(file);
            if (EndsWithAnyCase(file, ".wav") || EndsWithAnyCase(file, ".mp3"))
                audio.push_back(file);
        }
    }
    return {{"text", text}, {"audio", audio}};
}

}  // namespace

void InstallRunOutputsEndpoint(Bridge& bridge) {
    bridge.on_get_endpoint("outputs", [](const Bridge::EndpointRequest&) {
        Bridge::EndpointReply reply;
        try {
            const nlohmann::json outputs = framework::ui_loop().call(RunOutputs);
            reply.body = outputs.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        } catch (const std::future_error&) {
            // The program is ending: the loop dropped the task.
            reply.status = 503;
            reply.body = R"({"error": "ending"})";
        }
        return reply;
    });
}

}  // namespace shell
