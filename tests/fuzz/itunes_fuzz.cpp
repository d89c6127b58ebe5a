// The iTunes library stream parser on arbitrary documents. Every record it
// hands over must encode as AMF0 (what the processor would send).
#include <boost/make_shared.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "amf/amf0.h"
#include "scan/ITunesMediaScanner.h"

namespace {

// Knows the playlist ids of the songs it was given, as the processor does,
// so playlists keep only the items that name one.
class EncodingSink : public Ostra::IMediaProcessor {
  public:
    void processSongObject(amf::amf_object* song) override {
        encode(song);
        const amf::amf0_data_type* id = song->get_property("songPlistId");
        if (id != nullptr && id->get_type() == amf::AMF_STRING)
            songs_.insert(static_cast<const amf::amf_string*>(id)->get_value());
    }
    void processPlaylistObject(amf::amf_object* playlist) override { encode(playlist); }
    bool knowsSongPlaylistId(const std::string& playlistId) const override {
        return songs_.count(playlistId) != 0;
    }
    void finish() override {}
    void error(std::string) override {}

  private:
    std::set<std::string> songs_;

    static void encode(amf::amf_object* record) {
        if (!record) std::abort();
        std::vector<unsigned char> out(amf::get_size(record));
        amf::encode(out.data(), out.data() + out.size(), record);
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // XML errors are printed on standard output; they would drown the log.
    if (!std::freopen("/dev/null", "w", stdout)) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    Ostra::ITunes::ITunesMediaScanner scanner(boost::make_shared<EncodingSink>());
    scanner.parseITunesLibrary(in);
    return 0;
}
