// GET /~shell/signal: the signal view of one audio file as JSON.
#include "signal_endpoint.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>

#include "pcm_source.h"
#include "security.h"
#include "signal_view.h"
#include "view_cache.h"

namespace shell {

namespace {

using nlohmann::json;

// The newest request of each panel; an older one still running gives up.
class PanelTickets {
public:
    std::uint64_t take(const std::string& panel) {
        std::lock_guard lock(m_mutex);
        return ++m_latest[panel];
    }
    bool current(const std::string& panel, std::uint64_t ticket) const {
        std::lock_guard lock(m_mutex);
        auto it = m_latest.find(panel);
        return it != m_latest.end() && it->second == ticket;
    }

private:
    mutable std::mutex m_mutex;
    std::map<std::string, std::uint64_t> m_latest;
};

struct SignalService {
    std::string app_dir;
    analysis::ViewCache cache;
    PanelTickets tickets;
    SignalService(std::string dir, std::size_t cache_bytes)
        : app_dir(std::move(dir)), cache(cache_bytes) {}
};

Bridge::EndpointReply JsonReply(int status, const json& body) {
    Bridge::EndpointReply reply;
    reply.status = status;
    reply.body = body.dump(-1, ' ', false, json::error_handler_t::replace);
    return reply;
}

// Reads a number parameter; false when it is present and not a finite number.
bool NumberParam(const std::map<std::string, std::string>& params, const char* name,
                 double& value) {
    auto it = params.find(name);
    if (it == params.end()) return true;
    const char* text = it->second.c_str();
    char* end = nullptr;
    const double parsed = std::strtod(text, &end);
    if (*text == '\0' || *end != '\0' || !std::isfinite(parsed)) return false;
    value = parsed;
    return true;
}

bool ParseRequest(const std::map<std::string, std::string>& params,
                  analysis::ViewRequest& request) {
    double columns = request.columns;
    double rows = request.rows;
    if (!NumberParam(params, "from", request.from_s) || !NumberParam(params, "to", request.to_s) ||
        !NumberParam(params, "columns", columns) || !NumberParam(params, "rows", rows)) {
        return false;
    }
    if (columns < 1 || columns > analysis::kMaxColumns || rows < 1 || rows > analysis::kMaxRows)
        return false;
    request.columns = static_cast<int>(columns);
    request.rows = static_cast<int>(rows);
    return true;
}

std::string Base64(const std::vector<std::uint8_t>& bytes) {
    static const char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::uint32_t chunk = (bytes[i] << 16) |
                                    (i + 1 < bytes.size() ? bytes[i + 1] << 8 : 0) |
                                    (i + 2 < bytes.size() ? bytes[i + 2] : 0);
        out += kDigits[(chunk >> 18) & 63];
        out += kDigits[(chunk >> 12) & 63];
        out += i + 1 < bytes.size() ? kDigits[(chunk >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kDigits[chunk & 63] : '=';
    }
    return out;
}

// Samples as whole numbers of 1/32767 (small JSON), frequencies to 0.1 Hz.
json ScaledSamples(const std::vector<float>& values) {
    json out = json::array();
    for (float v : values) out.push_back(static_cast<int>(std::lround(v * 32767.0f)));
    return out;
}

json ViewJson(const std::string& path, const analysis::SignalView& view) {
    json pitch = json::array();
    for (float hz : view.pitch_hz) pitch.push_back(std::round(hz * 10.0) / 10.0);
    return {{"path", path},
            {"rate", view.rate_hz},
            {"duration", view.duration_s},
            {"from", view.from_s},
            {"to", view.to_s},
            {"columns", view.columns},
            {"rows", view.rows},
            {"floorDb", analysis::kFloorDb},
            {"waveMin", ScaledSamples(view.wave_min)},
            {"waveMax", ScaledSamples(view.wave_max)},
            {"spectrogram", Base64(view.spectrogram)},
            {"pitch", {{"start", view.pitch_start_s}, {"step", view.pitch_step_s}, {"hz", pitch}}}};
}

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

Bridge::EndpointReply Serve(SignalService& service,
                            const std::map<std::string, std::string>& params) {
    auto path_param = params.find("path");
    if (path_param == params.end()) return JsonReply(400, {{"error", "path is missing"}});
    analysis::ViewRequest request;
    if (!ParseRequest(params, request))
        return JsonReply(400, {{"error", "bad range or resolution"}});
    // The same confinement as every served file: only files of the app directory.
    const auto file = resolve_served_file(service.app_dir, path_param->second);
    const auto stamp = file ? analysis::StampOf(*file) : std::nullopt;
    if (!file || !stamp) return JsonReply(404, {{"error", "Not found"}});

    // Every newer request of a panel, even one answered from the cache,
    // makes the older ones of that panel useless.
    const auto panel = params.count("panel") ? params.at("panel") : std::string();
    const std::uint64_t ticket = service.tickets.take(panel);
    Bridge::EndpointReply reply;
    if (auto cached = service.cache.find(*file, *stamp, request)) {
        reply = JsonReply(200, ViewJson(path_param->second, *cached));
        reply.headers["X-Taloria-Cache"] = "hit";
        return reply;
    }
    const std::string cannot = "Cannot show '" + BaseName(*file) + "': ";
    std::string error;
    auto source = analysis::OpenAudioFile(*file, error);
    if (!source) return JsonReply(422, {{"error", cannot + error}});
    analysis::SignalView view;
    auto superseded = [&] { return !service.tickets.current(panel, ticket); };
    if (!analysis::ComputeSignalView(*source, request, view, error, superseded)) {
        if (superseded()) return JsonReply(409, {{"error", "superseded by a newer request"}});
        return JsonReply(422, {{"error", cannot + error}});
    }
    // A view finished just after a newer request came is not worth sending.
    if (superseded()) return JsonReply(409, {{"error", "superseded by a newer request"}});
    service.cache.add(*file, *stamp, request, view);
    reply = JsonReply(200, ViewJson(path_param->second, view));
    reply.headers["X-Taloria-Cache"] = "miss";
    return reply;
}

}  // namespace

void InstallSignalEndpoint(Bridge& bridge, std::size_t cache_bytes) {
    auto service = std::make_shared<SignalService>(bridge.app_dir(), cache_bytes);
    bridge.on_get_endpoint("signal", [service](const Bridge::EndpointRequest& request) {
        return Serve(*service, request.params);
    });
}

}  // namespace shell
