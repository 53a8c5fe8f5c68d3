// The file side of the audio player: recognising PCM WAVE and MPEG audio
// files, walking to their samples, decoding frames and positioning by time.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "audio_player.h"
#include "ui_host.h"

namespace {

// Bit rates in kbit/s by bit-rate index 0 to 14; index 0 (free format) holds 0.
constexpr int kBitRatesMpeg1[3][15] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // Layer I
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // Layer II
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // Layer III
};
constexpr int kBitRatesMpeg2LayerI[15] = {0,   32,  48,  56,  64,  80,  96, 112,
                                          128, 144, 160, 176, 192, 224, 256};
constexpr int kBitRatesMpeg2LayerIIandIII[15] = {0,  8,  16, 24,  32,  40,  48, 56,
                                                 64, 80, 96, 112, 128, 144, 160};
constexpr int kSampleRatesHz[2][3] = {
    {22050, 24000, 16000},  // version 0, MPEG-2
    {44100, 48000, 32000},  // version 1, MPEG-1
};

constexpr int kLayerI = 3;
constexpr int kLayerII = 2;

bool IsFrameSync(const std::uint8_t* bytes) {
    return bytes[0] == 0xFF && (bytes[1] & 0xF0) == 0xF0;
}

std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

std::uint32_t Le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

}  // namespace

bool DecodeMpegFrameHeader(const std::uint8_t* bytes, MpegFrameHeader& header) {
    const std::uint32_t word = (static_cast<std::uint32_t>(bytes[0]) << 24) |
                               (static_cast<std::uint32_t>(bytes[1]) << 16) |
                               (static_cast<std::uint32_t>(bytes[2]) << 8) | bytes[3];
    if ((word >> 20) != 0xFFF) return false;
    header.version = (word >> 19) & 1;
    header.layer = (word >> 17) & 3;
    header.protection = (word >> 16) & 1;
    header.bitrate_index = (word >> 12) & 15;
    header.samplerate_index = (word >> 10) & 3;
    header.padding = (word >> 9) & 1;
    header.mode = (word >> 6) & 3;
    if (header.layer == 0 || header.bitrate_index == 15 || header.samplerate_index == 3)
        return false;
    // Two 0xFF bytes read as MPEG-1 Layer I without checksum; in practice they
    // are filler, not a frame.
    if (header.version == 1 && header.layer == kLayerI && header.protection == 1) return false;
    // A free-format frame has no length that can be computed from its header,
    // so the data end there.
    if (header.bitrate_index == 0) return false;
    return true;
}

int MpegBitRateKbps(const MpegFrameHeader& header) {
    if (header.version == 1) return kBitRatesMpeg1[3 - header.layer][header.bitrate_index];
    if (header.layer == kLayerI) return kBitRatesMpeg2LayerI[header.bitrate_index];
    return kBitRatesMpeg2LayerIIandIII[header.bitrate_index];
}

int MpegSampleRateHz(const MpegFrameHeader& header) {
    return kSampleRatesHz[header.version][header.samplerate_index];
}

int MpegFrameLengthBytes(const MpegFrameHeader& header) {
    const int bit_rate_kbps = MpegBitRateKbps(header);
    const int rate_hz = MpegSampleRateHz(header);
    // Layer I counts in four-byte slots of 384 samples; Layer II frames hold
    // 1152 samples in both versions; Layer III frames hold 1152 samples in
    // MPEG-1 and 576 in MPEG-2.
    if (header.layer == kLayerI) return (12000 * bit_rate_kbps / rate_hz + header.padding) * 4;
    if (header.layer == kLayerII || header.version == 1)
        return 144000 * bit_rate_kbps / rate_hz + header.padding;
    return 72000 * bit_rate_kbps / rate_hz + header.padding;
}

// ---- Low-level file access -------------------------------------------------

bool CAudioPlayer::ReadExact(void* data, std::size_t count) {
    return ReadSome(data, count) == count;
}

std::size_t CAudioPlayer::ReadSome(void* data, std::size_t count) {
    auto* out = static_cast<std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = ::read(m_hFile, out + done, count - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

std::uint64_t CAudioPlayer::FileSize() const {
    struct stat info {};
    if (m_hFile < 0 || ::fstat(m_hFile, &info) != 0) return 0;
    return static_cast<std::uint64_t>(info.st_size);
}

std::uint64_t CAudioPlayer::GetFilePosition() const {
    if (m_hFile < 0) return 0;
    const off_t position = ::lseek(m_hFile, 0, SEEK_CUR);
    return position < 0 ? 0 : static_cast<std::uint64_t>(position);
}

bool CAudioPlayer::SeekTo(std::uint64_t position) {
    if (position > FileSize()) return false;
    return ::lseek(m_hFile, static_cast<off_t>(position), SEEK_SET) == static_cast<off_t>(position);
}

bool CAudioPlayer::SkipForward(std::uint64_t count) {
    // The target is checked against the file's end before moving, so a size
    // field can neither wrap the position nor carry it past the data.
    return SeekTo(GetFilePosition() + count);
}

void CAudioPlayer::CloseFile() {
    if (m_hFile >= 0) ::close(m_hFile);
    m_hFile = -1;
}

// ---- Open and close --------------------------------------------------------

bool CAudioPlayer::Open(const std::string& path) {
    if (m_bOpen) Close();
    m_strFileName = path;

    // Opened without blocking, so that a name of a pipe or device cannot hold
    // the UI thread; only regular files are read.
    m_hFile = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat info {};
    if (m_hFile >= 0 && (::fstat(m_hFile, &info) != 0 || !S_ISREG(info.st_mode))) CloseFile();
    if (m_hFile < 0) {
        framework::AfxMessageBox("Could not open '" + path + "'");
        return false;
    }

    std::uint8_t start[4] = {};
    const std::size_t got = ReadSome(start, sizeof start);
    if (got == 4 && std::memcmp(start, "RIFF", 4) == 0) {
        if (SeekTo(0) && ParseWaveHeader()) {
            m_bOpen = true;
            return true;
        }
    } else if (got >= 2 && IsFrameSync(start)) {
        if (SeekTo(0) && OpenMpegStream()) {
            m_bOpen = true;
            return true;
        }
        ReleaseMpegStream();
    }
    CloseFile();
    m_nFileKind = 0;
    return false;
}

bool CAudioPlayer::Close() {
    if (!m_bOpen) return false;
    if (m_bDeviceOpen) Stop();
    CloseFile();
    m_bOpen = false;
    if (m_nFileKind == FILE_KIND_MPEG) ReleaseMpegStream();
    return true;
}

void CAudioPlayer::ReleaseMpegStream() {
    m_codec.reset();
    m_pSource.reset();
    m_pDestination.reset();
    m_nSourceLength = SOURCE_BUFFER_BYTES;
}

// ---- WAVE files ------------------------------------------------------------

bool CAudioPlayer::ParseWaveHeader() {
    std::uint8_t riff[12];
    if (!ReadExact(riff, sizeof riff)) return false;
    if (std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0) return false;

    bool have_format = false;
    PcmWaveFormat format;
    for (;;) {
        std::uint8_t chunk[8];
        if (!ReadExact(chunk, sizeof chunk)) return false;  // end of file before "data"
        const std::uint32_t size_bytes = Le32(chunk + 4);
        if (!have_format && std::memcmp(chunk, "fmt ", 4) == 0) {
            // Up to 20 bytes: the PCM fields and an extra-size field. Fewer
            // than 16 leaves rate and sample size unknown.
            if (size_bytes < 16 || size_bytes > 20) return false;
            std::uint8_t body[20] = {};
            if (!ReadExact(body, size_bytes)) return false;
            format.format_tag = Le16(body);
            format.channels = Le16(body + 2);
            format.samples_per_sec = Le32(body + 4);
            format.avg_bytes_per_sec = Le32(body + 8);
            format.block_align = Le16(body + 12);
            format.bits_per_sample = Le16(body + 14);
            format.extra_size = 0;
            if (format.format_tag != 1) return false;
            have_format = true;
        } else if (have_format && std::memcmp(chunk, "data", 4) == 0) {
            // The size is not used: replay runs to the end of the file.
            m_nDataStart = GetFilePosition();
            m_pcmFormat = format;
            m_nFileKind = FILE_KIND_WAVE;
            return true;
        } else {
            // Any other chunk, and a "data" chunk ahead of "fmt ", is skipped.
            // Chunks are not padded to even sizes.
            if (!SkipForward(size_bytes)) return false;
        }
    }
}

// ---- MPEG files ------------------------------------------------------------

bool CAudioPlayer::ReadFrameHeader(std::uint8_t* bytes, MpegFrameHeader& header) {
    if (!ReadExact(bytes, 4)) return false;
    while (!IsFrameSync(bytes)) {
        std::memmove(bytes, bytes + 1, 3);
        if (!ReadExact(bytes + 3, 1)) return false;
    }
    if (!DecodeMpegFrameHeader(bytes, header)) return false;
    if (header.protection == 0 && !ReadExact(bytes + 4, 2)) return false;
    return true;
}

int CAudioPlayer::GetFrameLength(const MpegFrameHeader& header) const {
    return MpegFrameLengthBytes(header);
}

int CAudioPlayer::ReadFrameBody(std::uint8_t* bytes, const MpegFrameHeader& header) {
    const int length = GetFrameLength(header);
    const int header_bytes = header.protection ? 4 : 6;
    if (length <= header_bytes || length > static_cast<int>(SOURCE_BUFFER_BYTES)) return 0;
    if (!ReadExact(bytes + header_bytes, static_cast<std::size_t>(length - header_bytes))) return 0;
    return length;
}

bool CAudioPlayer::OpenMpegStream() {
    m_pSource = std::make_unique<std::uint8_t[]>(SOURCE_BUFFER_BYTES);
    m_pDestination = std::make_unique<std::uint8_t[]>(DESTINATION_BUFFER_BYTES);

    MpegFrameHeader header;
    if (!ReadFrameHeader(m_pSource.get(), header)) {
        framework::AfxMessageBox("Format error on file '" + m_strFileName + "'\n");
        return false;
    }
    if (!SeekTo(0)) return false;

    const int channels = header.mode == 3 ? 1 : 2;
    const int rate_hz = MpegSampleRateHz(header);
    mpegcodec::SourceFormat source;
    source.format_tag = mpegcodec::WAVE_FORMAT_MPEGLAYER3;
    source.channels = static_cast<std::uint16_t>(channels);
    source.samples_per_sec = static_cast<std::uint32_t>(rate_hz);
    source.avg_bytes_per_sec = static_cast<std::uint32_t>(MpegBitRateKbps(header) * 1000 / 8);
    source.block_align = 1;
    source.bits_per_sample = 0;
    source.extra_size = 12;
    source.id = mpegcodec::MPEGLAYER3_ID_MPEG;
    source.flags = mpegcodec::MPEGLAYER3_FLAG_PADDING_OFF;
    source.block_size = static_cast<std::uint16_t>(GetFrameLength(header) - 1);
    source.frames_per_block = 1;
    source.codec_delay = 700;
    m_mpegFormat = source;

    PcmWaveFormat pcm;
    pcm.format_tag = 1;
    pcm.channels = static_cast<std::uint16_t>(channels);
    pcm.samples_per_sec = static_cast<std::uint32_t>(rate_hz);
    pcm.bits_per_sample = 16;
    pcm.block_align = static_cast<std::uint16_t>(channels * 2);
    pcm.avg_bytes_per_sec = pcm.block_align * pcm.samples_per_sec;
    pcm.extra_size = 0;
    m_pcmFormat = pcm;

    mpegcodec::PcmFormat codec_pcm;
    codec_pcm.channels = pcm.channels;
    codec_pcm.samples_per_sec = pcm.samples_per_sec;
    codec_pcm.bits_per_sample = 16;
    std::string error;
    m_codec = mpegcodec::Stream::open(source, codec_pcm, &error);
    if (!m_codec) {
        framework::AfxMessageBox("Could not find suitable CODEC for '" + m_strFileName + "'\n");
        return false;
    }

    m_nSourceLength = SOURCE_BUFFER_BYTES;
    // The codec may announce more than the destination buffer holds; it is
    // never told it may write past the buffer.
    m_nDestinationLength = static_cast<std::uint32_t>(
        std::min(m_codec->destination_size(SOURCE_BUFFER_BYTES), DESTINATION_BUFFER_BYTES));
    m_nFileKind = FILE_KIND_MPEG;
    return true;
}

// ---- Reading blocks and positioning ----------------------------------------

bool CAudioPlayer::FillBuffer(int index) {
    if (index < 0 || index >= NUM_BUFFERS || !m_bOpen) {
        m_bMoreData = false;
        return false;
    }
    waveout::Buffer& header = m_headers[index];
    std::uint8_t* buffer = m_buffers[index].get();

    if (m_nFileKind == FILE_KIND_WAVE) {
        // The device takes whole sample frames only. Each read asks for whole
        // frames (65536 bytes unless the frame size does not divide it, as with
        // three or six channels), so a block never ends inside a frame and no
        // byte is lost between blocks; a partial frame can then only be the
        // last bytes of the file, and is left out.
        const std::size_t align = m_pcmFormat.block_align;
        std::size_t wanted = m_nBlockSize;
        if (align > 1) wanted -= wanted % align;
        std::size_t count = ReadSome(buffer, wanted);
        if (align > 1) count -= count % align;
        header.size_bytes = count;
        if (count == 0) {
            m_bMoreData = false;
            return false;
        }
        return true;
    }

    // One frame per buffer. A frame that decodes to nothing (broken, or no
    // audio in it) is passed over rather than queued as an empty buffer.
    for (;;) {
        MpegFrameHeader frame;
        int length = 0;
        if (!ReadFrameHeader(m_pSource.get(), frame) ||
            (length = ReadFrameBody(m_pSource.get(), frame)) == 0) {
            header.size_bytes = 0;
            m_bMoreData = false;
            return false;
        }
        m_nSourceLength = static_cast<std::uint32_t>(length);
        const long produced = m_codec->convert(m_pSource.get(), m_nSourceLength,
                                               m_pDestination.get(), m_nDestinationLength);
        if (produced <= 0) continue;
        const std::size_t count =
            std::min<std::size_t>(static_cast<std::size_t>(produced), m_nBlockSize);
        std::memcpy(buffer, m_pDestination.get(), count);
        header.size_bytes = count;
        return true;
    }
}

void CAudioPlayer::SeekToTime(double seconds) {
    if (!m_bOpen) return;
    // A negative or unreadable time means the start.
    if (!(seconds > 0.0)) seconds = 0.0;

    if (m_nFileKind == FILE_KIND_WAVE) {
        const std::uint64_t size = FileSize();
        const double frames = std::trunc(seconds * m_pcmFormat.samples_per_sec);
        const double target = static_cast<double>(m_nDataStart) + frames * m_pcmFormat.block_align;
        // Past the end (however far) is the end, computed without overflow.
        std::uint64_t position = size;
        if (target < static_cast<double>(size)) position = static_cast<std::uint64_t>(target);
        SeekTo(position);
        m_dPositionTime = seconds;
        return;
    }

    // MPEG: walk the frames from the start, summing their durations, and stop
    // at the frame during which the time falls. The decoder must not carry its
    // history across the jump.
    m_codec->reset();
    SeekTo(0);
    m_dPositionTime = 0.0;
    for (;;) {
        MpegFrameHeader frame;
        if (!ReadFrameHeader(m_pSource.get(), frame)) {
            // The data end before the time (end of file, or a frame the player
            // does not play): stay at the end, so that reading finds no more.
            SeekTo(FileSize());
            break;
        }
        // The frame starts where its header was found (after any bytes the
        // sync search passed over).
        const std::uint64_t frame_start = GetFilePosition() - (frame.protection ? 4 : 6);
        const int length = GetFrameLength(frame);
        const double end_time = m_dPositionTime + length * 8.0 / (MpegBitRateKbps(frame) * 1000.0);
        if (end_time > seconds) {
            SeekTo(frame_start);
            break;
        }
        m_dPositionTime = end_time;
        if (!SeekTo(frame_start + static_cast<std::uint64_t>(length))) {
            // The last frame is cut short: the data end here.
            SeekTo(FileSize());
            break;
        }
    }
}
