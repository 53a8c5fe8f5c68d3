// The replay side of the audio player: the device, the ring of eight buffers,
// play from a time, pause, resume and stop.
#include <mutex>

#include "audio_player.h"
#include "message_loop.h"
#include "ui_host.h"
#include "wnd.h"

CAudioPlayer thePlayer;

namespace {

// Buffers pre-filled before replay starts: one of the eight always stays out
// of the device, so a completion never refills a buffer the device still holds.
constexpr int kPrefillBuffers = 7;
// The stop wait: rounds of at most this long, for all outstanding notices.
constexpr int kStopPumpRounds = 50;
constexpr int kStopPumpRoundMs = 20;

}  // namespace

// The window that receives the device's notices. The device calls back on its
// own thread; the player detaches the window before it goes away at exit.
struct CAudioPlayer::NoticeTarget {
    std::mutex mutex;
    framework::CWnd* window = nullptr;
};

CAudioPlayer::CAudioPlayer() {
    // All replay memory is taken once, here; replay itself allocates nothing.
    for (int i = 0; i < NUM_BUFFERS; ++i) {
        m_buffers[i] = std::make_unique<std::uint8_t[]>(REPLAY_BLOCK_BYTES);
        m_headers[i].data = m_buffers[i].get();
        m_headers[i].size_bytes = 0;
        m_headers[i].user = nullptr;
    }
}

CAudioPlayer::~CAudioPlayer() {
    // At exit nobody handles notices any more (the loop may already be gone),
    // so replay is ended without waiting for them.
    if (m_noticeTarget) {
        std::lock_guard<std::mutex> lock(m_noticeTarget->mutex);
        m_noticeTarget->window = nullptr;
    }
    if (m_device) m_device->close();
    m_device.reset();
    m_bDeviceOpen = false;
    m_bPlaying = false;
    m_reader.Close();
}

void CAudioPlayer::NotifyCommandStates() { framework::ui_host().command_states_changed(); }

bool CAudioPlayer::Open(const std::string& path) {
    if (m_reader.IsOpen()) Close();
    std::string message;
    if (m_reader.Open(path, message)) return true;
    if (!message.empty()) framework::AfxMessageBox(message);
    return false;
}

bool CAudioPlayer::Close() {
    if (!m_reader.IsOpen()) return false;
    if (m_bDeviceOpen) Stop();
    return m_reader.Close();
}

bool CAudioPlayer::FillBuffer(int index) {
    waveout::Buffer& header = m_headers[index];
    header.size_bytes = m_reader.ReadBlock(m_buffers[index].get(), m_nBlockSize);
    if (header.size_bytes == 0) m_bMoreData = false;
    return header.size_bytes > 0;
}

bool CAudioPlayer::OpenDevice(framework::CWnd* window) {
    // The device plays whole sample frames of 8-bit or 16-bit PCM; a format
    // whose alignment disagrees with its channels and sample size is refused
    // like any format the device does not support.
    const PcmWaveFormat& pcm = m_reader.GetPcmFormat();
    const bool playable = pcm.channels > 0 && pcm.samples_per_sec > 0 &&
                          (pcm.bits_per_sample == 8 || pcm.bits_per_sample == 16) &&
                          pcm.block_align == pcm.channels * pcm.bits_per_sample / 8;
    if (playable) {
        waveout::Format format;
        format.channels = pcm.channels;
        format.rate_hz = static_cast<int>(pcm.samples_per_sec);
        format.bits_per_sample = pcm.bits_per_sample;
        auto target = std::make_shared<NoticeTarget>();
        target->window = window;
        std::string error;
        m_device = waveout::open(
            format,
            [target](waveout::Buffer*) {
                std::lock_guard<std::mutex> lock(target->mutex);
                if (target->window) target->window->PostMessage(framework::MM_WOM_DONE);
            },
            &error);
        if (m_device) m_noticeTarget = std::move(target);
    }
    if (!m_device) {
        framework::AfxMessageBox("Failed to open replay device");
        return false;
    }
    m_bDeviceOpen = true;
    for (auto& header : m_headers) header.size_bytes = m_nBlockSize;
    return true;
}

bool CAudioPlayer::Play(framework::CWnd* window, double seconds) {
    if (m_bDeviceOpen) Stop();
    if (m_nQueued > 0 || !m_reader.IsOpen() || window == nullptr) return false;
    if (!OpenDevice(window)) return false;

    SeekToTime(seconds);
    m_bMoreData = true;
    m_nQueued = 0;
    m_nNextBuffer = 0;

    while (m_nNextBuffer < kPrefillBuffers && FillBuffer(m_nNextBuffer)) ++m_nNextBuffer;
    if (m_nNextBuffer == 0) {
        // Nothing to play (start at or past the end, or no samples): no notice
        // would ever come to end replay, so it ends here.
        Stop();
        return false;
    }
    for (int i = 0; i < m_nNextBuffer; ++i) {
        if (!m_device->write(&m_headers[i])) {
            Stop();
            return false;
        }
        ++m_nQueued;
    }
    m_bPlaying = true;
    NotifyCommandStates();
    return true;
}

bool CAudioPlayer::OnBufferDone() {
    --m_nQueued;
    // The last buffer has played after the end of data: replay ends.
    if (!m_bMoreData && m_nQueued <= 0) Stop();
    if (!m_reader.IsOpen() || !m_bDeviceOpen || !m_bPlaying || !m_bMoreData) return false;

    if (!FillBuffer(m_nNextBuffer)) return false;
    if (!m_device->write(&m_headers[m_nNextBuffer])) {
        Stop();
        return false;
    }
    ++m_nQueued;
    m_nNextBuffer = (m_nNextBuffer + 1) % NUM_BUFFERS;
    return true;
}

bool CAudioPlayer::Stop() {
    if (!m_bDeviceOpen) return false;
    if (m_bPlaying) ResetDevice();
    // A notice handled during the wait may have ended replay itself; the
    // device is then closed already and nothing more is done to it.
    if (!m_bDeviceOpen) return true;
    m_device->close();
    m_device.reset();
    m_bDeviceOpen = false;
    m_bPlaying = false;
    m_bPaused = false;
    NotifyCommandStates();
    return true;
}

bool CAudioPlayer::ResetDevice() {
    if (!m_bPlaying) return false;
    m_bPlaying = false;
    m_bPaused = false;
    // The reset hands back every queued buffer with its notice; those notices
    // reach OnBufferDone through the loop, which queues nothing now.
    m_device->reset();
    auto& loop = framework::ui_loop();
    for (int round = 0; round < kStopPumpRounds && m_nQueued > 0; ++round)
        loop.pump_device_notifications(kStopPumpRoundMs);
    return true;
}

bool CAudioPlayer::Pause() {
    if (!m_bPlaying) return false;
    if (!m_device->pause()) return false;
    m_bPaused = true;
    NotifyCommandStates();
    return true;
}

bool CAudioPlayer::Restart() {
    if (!m_bPlaying || !m_bPaused) return false;
    if (!m_device->resume()) return false;
    m_bPaused = false;
    NotifyCommandStates();
    return true;
}
