#include "audio/AudioData.h"

#include "audio/WavFileWriter.h"

bool AudioData::IsValid() const {
    return !samples.empty() && duration > 0.0 && header.IsValid();
}

bool AudioData::WriteWAV(const std::string& path) const {
    if (!IsValid() || samples.size() > kMaxWavDataBytes) return false;
    WavFileWriter writer;
    return writer.Open(path) && writer.Write(samples.data(), samples.size()) &&
           writer.Commit(header);
}
