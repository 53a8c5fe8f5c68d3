// The front end's audio player: reads PCM WAVE and MPEG audio files and plays
// them through the wave-output device with a ring of eight replay buffers.
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

#include "mpegcodec.h"
#include "waveout.h"

namespace framework {
class CWnd;
}

// Format of the PCM blocks handed to the device (the fields of a PCM wave format).
struct PcmWaveFormat {
    std::uint16_t format_tag = 0;
    std::uint16_t channels = 0;
    std::uint32_t samples_per_sec = 0;
    std::uint32_t avg_bytes_per_sec = 0;
    std::uint16_t block_align = 0;
    std::uint16_t bits_per_sample = 0;
    std::uint16_t extra_size = 0;
};

// The decoded fields of one four-byte MPEG audio frame header.
struct MpegFrameHeader {
    int version = 0;           // 1 MPEG-1, 0 MPEG-2
    int layer = 0;             // 3 Layer I, 2 Layer II, 1 Layer III, 0 reserved
    int protection = 0;        // 0: a 16-bit checksum follows the header
    int bitrate_index = 0;     // 0 to 15
    int samplerate_index = 0;  // 0 to 3
    int padding = 0;           // 1 adds one slot to the frame
    int mode = 0;              // 3 single channel, else two channels
};

// Decodes the four header bytes at `bytes`. Returns false without a sync, for
// a reserved layer, bit-rate index 15 or sample-rate index 3, for MPEG-1
// Layer I without checksum (two 0xFF bytes: filler) and for free format.
bool DecodeMpegFrameHeader(const std::uint8_t* bytes, MpegFrameHeader& header);
// Bit rate in kbit/s and sample rate in Hz of a header that decoded.
int MpegBitRateKbps(const MpegFrameHeader& header);
int MpegSampleRateHz(const MpegFrameHeader& header);
// Length in bytes of the whole frame, header and checksum included.
int MpegFrameLengthBytes(const MpegFrameHeader& header);

class CAudioPlayer {
public:
    static constexpr int FILE_KIND_WAVE = 1;
    static constexpr int FILE_KIND_MPEG = 2;
    static constexpr int NUM_BUFFERS = 8;
    static constexpr std::size_t REPLAY_BLOCK_BYTES = 65536;
    static constexpr std::size_t SOURCE_BUFFER_BYTES = 4096;
    static constexpr std::size_t DESTINATION_BUFFER_BYTES = 65536;

    CAudioPlayer();
    virtual ~CAudioPlayer();
    CAudioPlayer(const CAudioPlayer&) = delete;
    CAudioPlayer& operator=(const CAudioPlayer&) = delete;

    // File side.

    // Opens and recognises a PCM WAVE or MPEG audio file (closing any open
    // one first). True when the file is ready for Play. The name is kept
    // even when opening fails.
    bool Open(const std::string& path);
    // Stops replay and closes the file; false when no file was open.
    bool Close();
    // The name given to the last Open.
    const std::string& GetFileName() const { return m_strFileName; }

    // Puts the next block of PCM into replay buffer `index` (0 to 7) and sets
    // its length; false (and the more-data flag cleared) at the end of data.
    // Used by the replay side; public so that the reader can be checked alone.
    bool FillBuffer(int index);
    // Positions the file so that the next FillBuffer starts at `seconds`.
    void SeekToTime(double seconds);

    // Replay side.

    // Opens the device for the open file's PCM format, with done notices posted
    // to `window`, and starts replay at `seconds`. Stops any replay first.
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

    // Read-only views for the callers and for checks.
    bool IsOpen() const { return m_bOpen; }
    int GetFileKind() const { return m_nFileKind; }
    const PcmWaveFormat& GetPcmFormat() const { return m_pcmFormat; }
    const mpegcodec::SourceFormat& GetMpegFormat() const { return m_mpegFormat; }
    std::uint64_t GetDataStart() const { return m_nDataStart; }
    std::uint32_t GetDestinationLength() const { return m_nDestinationLength; }
    // Current read position in the file, in bytes from its start.
    std::uint64_t GetFilePosition() const;
    double GetPositionTime() const { return m_dPositionTime; }
    int GetQueuedCount() const { return m_nQueued; }
    const std::uint8_t* GetBufferData(int index) const { return m_buffers[index].get(); }
    std::size_t GetBufferLength(int index) const { return m_headers[index].size_bytes; }

private:
    bool ParseWaveHeader();
    bool ReadFrameHeader(std::uint8_t* bytes, MpegFrameHeader& header);
    int GetFrameLength(const MpegFrameHeader& header) const;
    int ReadFrameBody(std::uint8_t* bytes, const MpegFrameHeader& header);
    bool OpenMpegStream();
    bool ResetDevice();

    // Reads exactly `count` bytes at the current position; false on a short read.
    bool ReadExact(void* data, std::size_t count);
    // Reads up to `count` bytes; returns the number read.
    std::size_t ReadSome(void* data, std::size_t count);
    // Moves the read position; false when it would leave the file.
    bool SeekTo(std::uint64_t position);
    bool SkipForward(std::uint64_t count);
    std::uint64_t FileSize() const;
    void CloseFile();
    void ReleaseMpegStream();
    void NotifyCommandStates();

    // File side.
    double m_dPositionTime = 0.0;
    bool m_bPaused = false;
    std::string m_strFileName;
    int m_hFile = -1;
    bool m_bOpen = false;
    bool m_bMoreData = false;
    int m_nFileKind = 0;
    PcmWaveFormat m_pcmFormat;
    std::uint64_t m_nDataStart = 0;
    std::unique_ptr<std::uint8_t[]> m_pSource;
    std::unique_ptr<std::uint8_t[]> m_pDestination;
    mpegcodec::SourceFormat m_mpegFormat;
    std::unique_ptr<mpegcodec::Stream> m_codec;
    std::uint32_t m_nSourceLength = SOURCE_BUFFER_BYTES;
    std::uint32_t m_nDestinationLength = SOURCE_BUFFER_BYTES;

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
