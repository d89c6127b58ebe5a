// The generated files the decoding tests run over, with what the decoder
// should deliver for each.
#pragma once

#include <boost/filesystem.hpp>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/MediaFixtures.h"
#include "support/TestHost.h"

namespace audiotest {

using testsupport::readFile;
using testsupport::run;
using testsupport::writeFile;

// A fresh, empty folder for one test's outputs, removed at exit.
inline std::string scratchDir() {
    static std::vector<std::unique_ptr<testsupport::TempDir>> dirs;
    dirs.push_back(std::make_unique<testsupport::TempDir>());
    return dirs.back()->path();
}

struct Fixture {
    std::string name;
    int channels;
    int sampleRate;
    int bytesPerSample;  // as the decoder delivers it
    bool lossless;
    double seconds;
    std::string options;  // encoder options after the tone input
};

// More fields than a well-tagged file carries: they must not cost a decode.
inline std::string manyTags() {
    std::vector<std::pair<std::string, std::string>> fields;
    for (int i = 0; i < 300; ++i)
        fields.emplace_back("custom_field_" + std::to_string(i), "value " + std::to_string(i));
    return media::tags(fields);
}

inline const std::vector<Fixture>& fixtures() {
    static const std::vector<Fixture> all = {
        {"stereo44.mp3", 2, 44100, 2, false, 5, "-c:a libmp3lame -b:a 192k"},
        {"stereo44.ogg", 2, 44100, 2, false, 5, "-c:a libvorbis -q:a 4"},
        {"stereo44.wav", 2, 44100, 2, true, 5, "-c:a pcm_s16le"},
        {"stereo44.aiff", 2, 44100, 2, true, 5, "-c:a pcm_s16be"},
        {"stereo44.flac", 2, 44100, 2, true, 5, "-c:a flac"},
        {"stereo44-aac.m4a", 2, 44100, 2, false, 5, "-c:a aac -b:a 160k"},
        {"stereo44-alac.m4a", 2, 44100, 2, true, 5, "-c:a alac"},
        {"stereo44.aac", 2, 44100, 2, false, 5, "-c:a aac -b:a 160k -f adts"},
        {"mono22.mp3", 1, 22050, 2, false, 4, "-c:a libmp3lame -b:a 64k"},
        {"mono48.flac", 1, 48000, 2, true, 4, "-c:a flac"},
        {"u8stereo44.wav", 2, 44100, 1, true, 3, "-c:a pcm_u8"},
        {"s8mono22.aiff", 1, 22050, 1, true, 3, "-c:a pcm_s8"},
        {"one-second.mp3", 2, 44100, 2, false, 1, "-c:a libmp3lame"},
        {"one-second.wav", 2, 44100, 2, true, 1, "-c:a pcm_s16le"},
        {"long61.mp3", 2, 44100, 2, false, 61, "-c:a libmp3lame"},
        {"tagged.mp3", 2, 44100, 2, false, 2, "-c:a libmp3lame -id3v2_version 3" + manyTags()},
        {"tagged-alac.m4a", 2, 44100, 2, true, 2,
         "-c:a alac -movflags use_metadata_tags" + manyTags()},
    };
    return all;
}

inline std::string fixturePath(const std::string& name) {
    for (const Fixture& f : fixtures()) {
        if (f.name == name) {
            return media::ffmpeg(name, media::tone(f.seconds, f.sampleRate, f.channels) + " " +
                                           f.options + " -metadata title=" + name);
        }
    }
    throw std::runtime_error("no fixture " + name);
}

}  // namespace audiotest
