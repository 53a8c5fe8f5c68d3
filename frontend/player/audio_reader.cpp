// The file side of the audio player: recognising PCM WAVE and MPEG audio
// files, walking to their samples, decoding frames and positioning by time.
#include "audio_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

using mpegcodec::MpegFrameHeader;

namespace {

std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

std::uint32_t Le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

}  // namespace

CAudioReader::CAudioReader() = default;

CAudioReader::~CAudioReader() { CloseFile(); }

// ---- Low-level file access -------------------------------------------------

bool CAudioReader::ReadExact(void* data, std::size_t count) {
    return ReadSome(data, count) == count;
}

std::size_t CAudioReader::ReadSome(void* data, std::size_t count) {
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

std::uint64_t CAudioReader::FileSize() const {
    struct stat info {};
    if (m_hFile < 0 || ::fstat(m_hFile, &info) != 0) return 0;
    return static_cast<std::uint64_t>(info.st_size);
}

std::uint64_t CAudioReader::FilePosition() const {
    if (m_hFile < 0) return 0;
    const off_t position = ::lseek(m_hFile, 0, SEEK_CUR);
    return position < 0 ? 0 : static_cast<std::uint64_t>(position);
}

bool CAudioReader::SeekTo(std::uint64_t position) {
    if (position > FileSize()) return false;
    return ::lseek(m_hFile, static_cast<off_t>(position), SEEK_SET) == static_cast<off_t>(position);
}

bool CAudioReader::SkipForward(std::uint64_t count) {
    // The target is checked against the file's end before moving, so a size
    // field can neither wrap the position nor carry it past the data.
    return SeekTo(FilePosition() + count);
}

void CAudioReader::CloseFile() {
    if (m_hFile >= 0) ::close(m_hFile);
    m_hFile = -1;
}

// ---- Open and close --------------------------------------------------------

bool CAudioReader::Open(const std::string& path, std::string& message) {
    if (m_bOpen) Close();
    m_strFileName = path;
    message.clear();

    // Opened without blocking, so that a name of a pipe or device cannot hold
    // the caller; only regular files are read.
    m_hFile = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat info {};
    if (m_hFile >= 0 && (::fstat(m_hFile, &info) != 0 || !S_ISREG(info.st_mode))) CloseFile();
    if (m_hFile < 0) {
        message = "Could not open '" + path + "'";
        return false;
    }
    if (RecogniseFile(message)) {
        m_bOpen = true;
        return true;
    }
    CloseFile();
    m_nFileKind = 0;
    return false;
}

bool CAudioReader::RecogniseFile(std::string& message) {
    std::uint8_t start[4] = {};
    const std::size_t got = ReadSome(start, sizeof start);
    if (got == 4 && std::memcmp(start, "RIFF", 4) == 0) return SeekTo(0) && ParseWaveHeader();
    if (got >= 2 && mpegcodec::is_frame_sync(start)) {
        if (SeekTo(0) && OpenMpegStream(message)) return true;
        ReleaseMpegStream();
    }
    return false;
}

bool CAudioReader::Close() {
    if (!m_bOpen) return false;
    CloseFile();
    m_bOpen = false;
    if (m_nFileKind == FILE_KIND_MPEG) ReleaseMpegStream();
    return true;
}

void CAudioReader::ReleaseMpegStream() {
    m_codec.reset();
    m_pSource.reset();
    m_pDestination.reset();
    m_nSourceLength = SOURCE_BUFFER_BYTES;
}

// ---- WAVE files ------------------------------------------------------------

bool CAudioReader::ParseWaveHeader() {
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
            m_nDataStart = FilePosition();
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

bool CAudioReader::ReadFrameHeader(std::uint8_t* bytes, MpegFrameHeader& header) {
    if (!ReadExact(bytes, 4)) return false;
    while (!mpegcodec::is_frame_sync(bytes)) {
        std::memmove(bytes, bytes + 1, 3);
        if (!ReadExact(bytes + 3, 1)) return false;
    }
    if (!mpegcodec::decode_frame_header(bytes, header)) return false;
    if (header.protection == 0 && !ReadExact(bytes + 4, 2)) return false;
    return true;
}

int CAudioReader::GetFrameLength(const MpegFrameHeader& header) const {
    return mpegcodec::frame_length_bytes(header);
}

int CAudioReader::ReadFrameBody(std::uint8_t* bytes, const MpegFrameHeader& header) {
    const int length = GetFrameLength(header);
    const int header_bytes = mpegcodec::header_length_bytes(header);
    if (length <= header_bytes || length > static_cast<int>(SOURCE_BUFFER_BYTES)) return 0;
    if (!ReadExact(bytes + header_bytes, static_cast<std::size_t>(length - header_bytes))) return 0;
    return length;
}

bool CAudioReader::OpenMpegStream(std::string& message) {
    m_pSource = std::make_unique<std::uint8_t[]>(SOURCE_BUFFER_BYTES);
    m_pDestination = std::make_unique<std::uint8_t[]>(DESTINATION_BUFFER_BYTES);

    MpegFrameHeader header;
    if (!ReadFrameHeader(m_pSource.get(), header)) {
        message = "Format error on file '" + m_strFileName + "'\n";
        return false;
    }
    if (!SeekTo(0)) return false;

    // The blocks are 16-bit PCM of the first frame's rate and channel count.
    const int channels = mpegcodec::channel_count(header);
    const int rate_hz = mpegcodec::sample_rate_hz(header);
    PcmWaveFormat pcm;
    pcm.format_tag = 1;
    pcm.channels = static_cast<std::uint16_t>(channels);
    pcm.samples_per_sec = static_cast<std::uint32_t>(rate_hz);
    pcm.bits_per_sample = 16;
    pcm.block_align = static_cast<std::uint16_t>(channels * 2);
    pcm.avg_bytes_per_sec = pcm.block_align * pcm.samples_per_sec;
    pcm.extra_size = 0;
    m_pcmFormat = pcm;

    std::string error;
    m_codec = mpegcodec::Stream::open(rate_hz, channels, &error);
    if (!m_codec) {
        message = "Could not find suitable CODEC for '" + m_strFileName + "'\n";
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

std::size_t CAudioReader::ReadBlock(std::uint8_t* block, std::size_t capacity_bytes) {
    if (!m_bOpen) return 0;
    capacity_bytes = std::min(capacity_bytes, BLOCK_BYTES);
    if (m_nFileKind == FILE_KIND_WAVE) return ReadWaveBlock(block, capacity_bytes);
    return ReadMpegBlock(block, capacity_bytes);
}

std::size_t CAudioReader::ReadWaveBlock(std::uint8_t* block, std::size_t capacity_bytes) {
    // The device takes whole sample frames only. Each read asks for whole
    // frames (65536 bytes unless the frame size does not divide it, as with
    // three or six channels), so a block never ends inside a frame and no byte
    // is lost between blocks; a partial frame can then only be the last bytes
    // of the file, and is left out.
    const std::size_t align = m_pcmFormat.block_align;
    std::size_t wanted = capacity_bytes;
    if (align > 1) wanted -= wanted % align;
    std::size_t count = ReadSome(block, wanted);
    if (align > 1) count -= count % align;
    return count;
}

std::size_t CAudioReader::ReadMpegBlock(std::uint8_t* block, std::size_t capacity_bytes) {
    // One frame per block. A frame that decodes to nothing (broken, or no
    // audio in it) is passed over rather than returned as an empty block.
    for (;;) {
        MpegFrameHeader frame;
        int length = 0;
        if (!ReadFrameHeader(m_pSource.get(), frame) ||
            (length = ReadFrameBody(m_pSource.get(), frame)) == 0)
            return 0;
        m_nSourceLength = static_cast<std::uint32_t>(length);
        const long produced = m_codec->convert(m_pSource.get(), m_nSourceLength,
                                               m_pDestination.get(), m_nDestinationLength);
        if (produced <= 0) continue;
        const std::size_t count = std::min(static_cast<std::size_t>(produced), capacity_bytes);
        std::memcpy(block, m_pDestination.get(), count);
        return count;
    }
}

void CAudioReader::SeekToTime(double seconds) {
    if (!m_bOpen) return;
    // A negative or unreadable time means the start.
    if (!(seconds > 0.0)) seconds = 0.0;
    if (m_nFileKind == FILE_KIND_WAVE)
        SeekWaveToTime(seconds);
    else
        SeekMpegToTime(seconds);
}

void CAudioReader::SeekWaveToTime(double seconds) {
    const std::uint64_t size = FileSize();
    const double frames = std::trunc(seconds * m_pcmFormat.samples_per_sec);
    const double target = static_cast<double>(m_nDataStart) + frames * m_pcmFormat.block_align;
    // Past the end (however far) is the end, computed without overflow.
    std::uint64_t position = size;
    if (target < static_cast<double>(size)) position = static_cast<std::uint64_t>(target);
    SeekTo(position);
    m_dPositionTime = seconds;
}

void CAudioReader::SeekMpegToTime(double seconds) {
    // Walk the frames from the start, summing their durations, and stop at the
    // frame during which the time falls. The decoder must not carry its
    // history across the jump.
    m_codec->reset();
    SeekTo(0);
    m_dPositionTime = 0.0;
    for (;;) {
        MpegFrameHeader frame;
        if (!ReadFrameHeader(m_pSource.get(), frame)) {
            // The data end before the time (end of file, or a frame the reader
            // does not read): stay at the end, so that reading finds no more.
            SeekTo(FileSize());
            return;
        }
        // The frame starts where its header was found (after any bytes the
        // sync search passed over).
        const std::uint64_t frame_start = FilePosition() - mpegcodec::header_length_bytes(frame);
        const int length = GetFrameLength(frame);
        const double end_time =
            m_dPositionTime + length * 8.0 / (mpegcodec::bit_rate_kbps(frame) * 1000.0);
        if (end_time > seconds) {
            SeekTo(frame_start);
            return;
        }
        m_dPositionTime = end_time;
        if (!SeekTo(frame_start + static_cast<std::uint64_t>(length))) {
            // The last frame is cut short: the data end here.
            SeekTo(FileSize());
            return;
        }
    }
}
