// The iTunes library stream parser on arbitrary documents. Every record it
// hands over must encode as AMF0 (what the processor would send).
#include <boost/make_shared.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "amf/amf0.h"
#include "scan/ITunesMediaScanner.h"

namespace {

class EncodingSink : public Ostra::IMediaProcessor {
  public:
    void processSongObject(amf::amf_object* song) override { encode(song); }
    void processPlaylistObject(amf::amf_object* playlist) override { encode(playlist); }
    void finish() override {}
    void error(std::string) override {}

  private:
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
