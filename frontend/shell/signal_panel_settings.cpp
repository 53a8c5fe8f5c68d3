// GET and POST /~shell/panel: the signal panel's state in the settings file.
#include "signal_panel_settings.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>

#include "message_loop.h"

namespace shell {

namespace {

using nlohmann::json;

constexpr const char* kSection = "Signal";
constexpr int kMinHeightPx = 80;
constexpr int kMaxHeightPx = 4000;

struct PanelState {
    bool shown = false;
    int height_px = 340;
    bool control_tracks = true;
};

// The copy the HTTP threads read; filled once from the settings.
struct PanelStore {
    std::mutex mutex;
    std::condition_variable loaded_cv;
    bool loaded = false;
    PanelState state;
};

json StateJson(const PanelState& state) {
    return {{"shown", state.shown},
            {"height", state.height_px},
            {"controlTracks", state.control_tracks}};
}

// Applies the fields present in `body`; false when one has the wrong type.
bool ApplyChange(const json& body, PanelState& state) {
    if (!body.is_object()) return false;
    if (body.contains("shown") && !body["shown"].is_boolean()) return false;
    if (body.contains("controlTracks") && !body["controlTracks"].is_boolean()) return false;
    if (body.contains("height") && !body["height"].is_number_integer()) return false;
    if (body.contains("shown")) state.shown = body["shown"].get<bool>();
    if (body.contains("controlTracks")) state.control_tracks = body["controlTracks"].get<bool>();
    if (body.contains("height")) {
        state.height_px = std::clamp(body["height"].get<int>(), kMinHeightPx, kMaxHeightPx);
    }
    return true;
}

Bridge::EndpointReply Reply(int status, const std::string& body) {
    Bridge::EndpointReply reply;
    reply.status = status;
    reply.body = body;
    return reply;
}

}  // namespace

void InstallSignalPanelSettings(Bridge& bridge, framework::CWinApp& app) {
    auto store = std::make_shared<PanelStore>();
    framework::ui_loop().post([store, &app] {
        PanelState state;
        state.shown = app.GetProfileInt(kSection, "Shown", 0) != 0;
        state.height_px = std::clamp(app.GetProfileInt(kSection, "Height", state.height_px),
                                     kMinHeightPx, kMaxHeightPx);
        state.control_tracks = app.GetProfileInt(kSection, "ControlTracks", 1) != 0;
        std::lock_guard lock(store->mutex);
        store->state = state;
        store->loaded = true;
        store->loaded_cv.notify_all();
    });
    bridge.on_get_endpoint("panel", [store](const Bridge::EndpointRequest&) {
        std::unique_lock lock(store->mutex);
        // Start-up reads the settings; a shell that asks sooner waits for it.
        store->loaded_cv.wait_for(lock, std::chrono::seconds(5), [&] { return store->loaded; });
        return Reply(200, StateJson(store->state).dump());
    });
    bridge.on_post_endpoint("panel", [store, &app](const Bridge::EndpointRequest& request) {
        const json body = json::parse(request.body, nullptr, false);
        PanelState state;
        {
            std::lock_guard lock(store->mutex);
            state = store->state;
            if (!ApplyChange(body, state)) return Reply(400, R"({"error": "bad panel state"})");
            store->state = state;
        }
        framework::ui_loop().post([state, &app] {
            app.WriteProfileInt(kSection, "Shown", state.shown ? 1 : 0);
            app.WriteProfileInt(kSection, "Height", state.height_px);
            app.WriteProfileInt(kSection, "ControlTracks", state.control_tracks ? 1 : 0);
        });
        return Reply(204, "");
    });
}

}  // namespace shell
