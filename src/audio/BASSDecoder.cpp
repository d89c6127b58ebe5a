#include "audio/BASSDecoder.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <list>

namespace {

const DWORD kDataError = static_cast<DWORD>(-1);
const QWORD kPositionError = static_cast<QWORD>(-1);
// Discard requests stay below the data call's flag bits (bit 30 asks for float data).
const uint64_t kMaxDiscardRequest = 1u << 29;

// Frees a freshly created stream unless StartDecode succeeds.
class StreamGuard {
  public:
    explicit StreamGuard(HSTREAM stream) : m_stream(stream) {}
    ~StreamGuard() {
        if (m_stream != 0) BASS_StreamFree(m_stream);
    }
    HSTREAM Release() {
        HSTREAM stream = m_stream;
        m_stream = 0;
        return stream;
    }

  private:
    HSTREAM m_stream;
};

}  // namespace

BASSDecoder::~BASSDecoder() {
    CloseStream();
}

bool BASSDecoder::Decode(const std::string& path, AudioData& out) {
    return Decode(path, out, 0, INT_MAX);
}

bool BASSDecoder::Decode(const std::string& path, AudioData& out, int startSeconds, int maxSteps) {
    out.header = AudioHeader();
    std::vector<unsigned char>().swap(out.samples);
    out.duration = 0.0;

    AudioHeader header;
    if (!StartDecode(path, startSeconds, header)) return false;
    std::list<std::vector<unsigned char>> blocks;
    uint64_t total = 0;
    std::vector<unsigned char> block;
    bool done = false;
    for (int step = 0; step < maxSteps; ++step) {
        const bool more = StepDecode(block, done);
        if (!more && !done) {
            EndDecode(nullptr);
            return false;
        }
        // The step that reaches the end carries the final block: keep it too.
        if (!block.empty()) {
            total += block.size();
            blocks.push_back(std::move(block));
            block = std::vector<unsigned char>();
        }
        if (!more) break;
    }
    double seconds = 0.0;
    if (!EndDecode(&seconds)) return false;

    out.samples.resize(total);
    uint64_t offset = 0;
    for (const std::vector<unsigned char>& b : blocks) {
        std::memcpy(out.samples.data() + offset, b.data(), b.size());
        offset += b.size();
    }
    out.header = header;
    out.duration = seconds;
    return true;
}

bool BASSDecoder::StartDecode(const std::string& path, int startSeconds, AudioHeader& header) {
    return StartDecode(path, startSeconds, header, Output::Pcm16);
}

bool BASSDecoder::StartDecode(const std::string& path, int startSeconds, AudioHeader& header,
                              Output output) {
    header = AudioHeader();
    if (m_stream != 0 || path.empty() || startSeconds < 0) return false;

    const bool native = output == Output::Native;
    HSTREAM stream = BASS_StreamCreateFile(0, path.c_str(), 0, 0,
                                           BASS_STREAM_DECODE | (native ? BASS_SAMPLE_NATIVE : 0));
    if (stream == 0) {
        BASS_ErrorGetCode();
        return false;
    }
    StreamGuard guard(stream);

    BASS_CHANNELINFO info;
    std::memset(&info, 0, sizeof info);
    if (!BASS_ChannelGetInfo(stream, &info)) return false;
    // A native stream delivers the codec's own samples, which origres describes.
    const int bytes = native ? static_cast<int>(info.origres & 0xFFFF) / 8
                             : ((info.flags & BASS_SAMPLE_8BITS) ? 1 : 2);
    AudioHeader format(static_cast<int>(info.chans), bytes, static_cast<int>(info.freq),
                       (info.flags & BASS_SAMPLE_FLOAT) != 0);
    if (native) {
        const QWORD layout = BASS_ChannelGetLayout(stream);
        if (layout == static_cast<QWORD>(-1)) return false;
        format.channelLayout = layout;
    }
    if (!format.IsValid()) return false;

    const QWORD length = BASS_ChannelGetLength(stream, BASS_POS_BYTE);
    if (length == kPositionError || BASS_ChannelIsActive(stream) == BASS_ACTIVE_STOPPED)
        return false;

    // Skip the start offset, computed in 64 bits and discarded in requests
    // the data call cannot mistake for flags. Past the end there is simply
    // nothing left to step through.
    const uint64_t frameBytes = static_cast<uint64_t>(format.bytesPerSample) * format.channels;
    uint64_t skip = frameBytes * static_cast<uint64_t>(startSeconds) * format.sampleRate;
    const uint64_t maxRequest = kMaxDiscardRequest - kMaxDiscardRequest % frameBytes;
    while (skip > 0) {
        const DWORD request = static_cast<DWORD>(std::min(skip, maxRequest));
        const DWORD got = BASS_ChannelGetData(stream, nullptr, request);
        if (got == kDataError) return false;
        if (got < request) break;
        skip -= got;
    }

    const QWORD position = BASS_ChannelGetPosition(stream, BASS_POS_BYTE);
    if (position == kPositionError) return false;

    m_length = length;
    m_startPosition = m_position = position;
    m_startSeconds = startSeconds;
    m_header = format;
    m_planar = native && (info.origres & BASS_ORIGRES_PLANAR) != 0;
    m_stream = guard.Release();
    header = m_header;
    return true;
}

bool BASSDecoder::StepDecode(std::vector<unsigned char>& block, bool& done) {
    done = false;
    if (m_stream == 0 || !m_header.IsValid()) {
        block.clear();
        return false;
    }
    if (ChannelIsDone()) {
        block.clear();
        done = true;
        return false;
    }
    const uint64_t size =
        static_cast<uint64_t>(m_header.channels) * m_header.sampleRate * m_header.bytesPerSample;
    // The caller's block from the previous step usually has the size already:
    // it is overwritten in place rather than cleared and zero-filled again.
    // Whatever the data call does not fill is cut off below.
    if (block.size() != size) block.resize(size);
    const DWORD got = BASS_ChannelGetData(m_stream, block.data(), static_cast<DWORD>(size));
    if (got == kDataError) {
        block.clear();
        return false;
    }
    const QWORD position = BASS_ChannelGetPosition(m_stream, BASS_POS_BYTE);
    if (position == kPositionError || position < m_position) {
        block.clear();
        return false;
    }
    block.resize(std::min<uint64_t>(size, position - m_position));
    m_position = position;
    if (!ChannelIsDone()) return true;
    done = true;
    return false;
}

IDecoder::Run BASSDecoder::NextRun(FrameRun& run) {
    run = FrameRun();
    if (m_stream == 0 || !m_header.IsValid()) return Run::Error;
    const void* const* planes = nullptr;
    const DWORD frames = BASS_ChannelGetPlanes(m_stream, &planes);
    if (frames == kDataError)
        return BASS_ErrorGetCode() == BASS_ERROR_ENDED ? Run::End : Run::Error;
    m_position += static_cast<uint64_t>(frames) * m_header.channels * m_header.bytesPerSample;
    run.planes = reinterpret_cast<const uint8_t* const*>(planes);
    run.planar = m_planar;
    run.frames = frames;
    return Run::Frames;
}

bool BASSDecoder::EndDecode(double* seconds) {
    if (seconds != nullptr) *seconds = 0.0;
    if (m_stream == 0) return false;
    const double decoded = BASS_ChannelBytes2Seconds(m_stream, m_position - m_startPosition);
    // The stream is released whatever happens, so the decoder stays usable.
    const bool freed = CloseStream();
    if (decoded < 0.0 || !freed) return false;
    if (seconds != nullptr) *seconds = decoded;
    return true;
}

bool BASSDecoder::SourceStatus(struct stat& status) const {
    return m_stream != 0 && BASS_ChannelGetFileStatus(m_stream, &status) != 0;
}

bool BASSDecoder::ChannelIsDone() {
    if (BASS_ChannelIsActive(m_stream) == BASS_ACTIVE_STOPPED) return true;
    if (m_position < m_length) return false;
    // Data remains past a length that was only an estimate: take the
    // stream's updated figure rather than cut the audio off.
    const QWORD length = BASS_ChannelGetLength(m_stream, BASS_POS_BYTE);
    if (length != kPositionError) m_length = length;
    return m_position >= m_length;
}

bool BASSDecoder::CloseStream() {
    bool freed = true;
    if (m_stream != 0) freed = BASS_StreamFree(m_stream) != 0;
    m_header = AudioHeader();
    m_length = m_startPosition = m_position = 0;
    m_startSeconds = 0;
    m_stream = 0;
    m_planar = false;
    return freed;
}
