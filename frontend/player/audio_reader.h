// The file side of the audio player: a source of PCM blocks over a PCM WAVE
// file or an MPEG audio file, positioned by time. The replay engine
// (CAudioPlayer) reads through it, and so can anything else that wants the
// samples of an audio file.
//
// Threading: one object is used from one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "mpegcodec.h"

// Format of the PCM blocks a reader produces (the fields of a PCM wave format).
struct PcmWaveFormat {
    std::uint16_t format_tag = 0;
    std::uint16_t channels = 0;
    std::uint32_t samples_per_sec = 0;
    std::uint32_t avg_bytes_per_sec = 0;
    std::uint16_t block_align = 0;
    std::uint16_t bits_per_sample = 0;
    std::uint16_t extra_size = 0;
};

class CAudioReader {
public:
    static constexpr int FILE_KIND_WAVE = 1;
    static constexpr int FILE_KIND_MPEG = 2;
    // The most PCM one block holds (and the most a WAVE read asks for).
    static constexpr std::size_t BLOCK_BYTES = 65536;

    CAudioReader();
    ~CAudioReader();
    CAudioReader(const CAudioReader&) = delete;
    CAudioReader& operator=(const CAudioReader&) = delete;

    // Opens and recognises a PCM WAVE or MPEG audio file, closing any open one
    // first. On failure returns false and sets `message` to the line the user
    // should see, or to "" when the file is simply not a playable kind. The
    // name is kept even when opening fails.
    bool Open(const std::string& path, std::string& message);
    // Closes the file; false when none was open.
    bool Close();
    bool IsOpen() const { return m_bOpen; }
    // The name given to the last Open.
    const std::string& GetFileName() const { return m_strFileName; }
    // FILE_KIND_WAVE or FILE_KIND_MPEG while a file is open.
    int GetFileKind() const { return m_nFileKind; }
    // The layout of the blocks: the WAVE file's own format, or 16-bit PCM at
    // the rate and channel count of the first MPEG frame.
    const PcmWaveFormat& GetPcmFormat() const { return m_pcmFormat; }

    // Puts the next block of PCM into `block` (at most `capacity_bytes`, up to
    // BLOCK_BYTES) and returns its length; 0 at the end of the data. WAVE
    // blocks hold whole sample frames; an MPEG block is one decoded frame.
    std::size_t ReadBlock(std::uint8_t* block, std::size_t capacity_bytes);
    // Positions the file so that the next block starts at `seconds` (within
    // the MPEG frame holding that time). Below 0, or not a number, is the start.
    void SeekToTime(double seconds);
    // The time the last SeekToTime landed on: the start of the MPEG frame that
    // holds the time asked for, or that time itself in a WAVE file.
    double GetPositionTime() const { return m_dPositionTime; }

private:
    static constexpr std::size_t SOURCE_BUFFER_BYTES = 4096;
    static constexpr std::size_t DESTINATION_BUFFER_BYTES = 65536;

    bool ParseWaveHeader();
    bool ReadFrameHeader(std::uint8_t* bytes, mpegcodec::MpegFrameHeader& header);
    int GetFrameLength(const mpegcodec::MpegFrameHeader& header) const;
    int ReadFrameBody(std::uint8_t* bytes, const mpegcodec::MpegFrameHeader& header);
    bool OpenMpegStream(std::string& message);
    bool RecogniseFile(std::string& message);
    std::size_t ReadWaveBlock(std::uint8_t* block, std::size_t capacity_bytes);
    std::size_t ReadMpegBlock(std::uint8_t* block, std::size_t capacity_bytes);
    void SeekWaveToTime(double seconds);
    void SeekMpegToTime(double seconds);

    // Reads exactly `count` bytes at the current position; false on a short read.
    bool ReadExact(void* data, std::size_t count);
    // Reads up to `count` bytes; returns the number read.
    std::size_t ReadSome(void* data, std::size_t count);
    // Moves the read position; false when it would leave the file.
    bool SeekTo(std::uint64_t position);
    bool SkipForward(std::uint64_t count);
    std::uint64_t FilePosition() const;
    std::uint64_t FileSize() const;
    void CloseFile();
    void ReleaseMpegStream();

    double m_dPositionTime = 0.0;
    std::string m_strFileName;
    int m_hFile = -1;
    bool m_bOpen = false;
    int m_nFileKind = 0;
    PcmWaveFormat m_pcmFormat;
    std::uint64_t m_nDataStart = 0;
    std::unique_ptr<std::uint8_t[]> m_pSource;
    std::unique_ptr<std::uint8_t[]> m_pDestination;
    std::unique_ptr<mpegcodec::Stream> m_codec;
    std::uint32_t m_nSourceLength = SOURCE_BUFFER_BYTES;
    std::uint32_t m_nDestinationLength = SOURCE_BUFFER_BYTES;
};
