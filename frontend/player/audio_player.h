// The front end's audio player: plays PCM WAVE and MPEG audio files, read
// through CAudioReader, on the wave-output device with a ring of eight replay
// buffers.
//
// Threading: every operation runs on the UI loop thread. The device's done
// notices arrive as MM_WOM_DONE messages posted to the window given to Play;
// that window's handler calls OnBufferDone, so no lock is needed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "audio_reader.h"
#include "waveout.h"

namespace framework {
class CWnd;
}

class CAudioPlayer {
public:
    static constexpr int NUM_BUFFERS = 8;
    static constexpr std::size_t REPLAY_BLOCK_BYTES = CAudioReader::BLOCK_BYTES;

    CAudioPlayer();
    virtual ~CAudioPlayer();
    CAudioPlayer(const CAudioPlayer&) = delete;
    CAudioPlayer& operator=(const CAudioPlayer&) = delete;

    // File side.

    // Opens and recognises a PCM WAVE or MPEG audio file (stopping replay and
    // closing any open one first). True when the file is ready for Play. A
    // file that cannot be opened, or whose MPEG stream cannot be read, is
    // reported in a message box. The name is kept even when opening fails.
    bool Open(const std::string& path);
    // Stops replay and closes the file; false when no file was open.
    bool Close();
    // The name given to the last Open.
    const std::string& GetFileName() const { return m_reader.GetFileName(); }

    // Replay side.

    // Opens the device for the open file's PCM format, with done notices posted
    // to `window`, and starts replay at `seconds`. Stops any replay first.
    // False when nothing could be queued (no file, a start at or past the end,
    // notices of an earlier replay still outstanding, or no device).
    bool Play(framework::CWnd* window, double seconds);
    bool Pause();
    // Resumes after Pause.
    bool Restart();
    // Ends replay, waits (briefly) for the outstanding notices and closes the
    // device; false when the device was not open.
    bool Stop();
    // Replay started and not stopped (also while paused).
    bool IsPlaying() const { return m_bDeviceOpen && m_bPlaying; }
    bool IsPaused() const { return m_bPlaying && m_bPaused; }
    // Handles one MM_WOM_DONE: refills and queues the next buffer, or ends
    // replay after the last one. Returns whether a buffer was queued.
    bool OnBufferDone();

private:
    // Puts the reader's next block into replay buffer `index` and sets its
    // length; false (and the more-data flag cleared) at the end of data.
    bool FillBuffer(int index);
    void SeekToTime(double seconds) { m_reader.SeekToTime(seconds); }
    bool OpenDevice(framework::CWnd* window);
    bool ResetDevice();
    void NotifyCommandStates();

    // File side.
    CAudioReader m_reader;
    bool m_bPaused = false;
    bool m_bMoreData = false;

    // Replay side.
    struct NoticeTarget;
    std::shared_ptr<NoticeTarget> m_noticeTarget;  // where the device's notices go
    std::unique_ptr<waveout::Device> m_device;
    bool m_bDeviceOpen = false;
    std::array<waveout::Buffer, NUM_BUFFERS> m_headers{};
    std::array<std::unique_ptr<std::uint8_t[]>, NUM_BUFFERS> m_buffers;
    std::uint32_t m_nBlockSize = REPLAY_BLOCK_BYTES;
    bool m_bPlaying = false;
    int m_nNextBuffer = 0;
    int m_nQueued = 0;
};

// The front end's one player, alive for the whole process.
extern CAudioPlayer thePlayer;
