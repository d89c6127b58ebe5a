#pragma once

#include <string>

#include "audio/IDecoder.h"
#include "hostlink/RequestHandler.h"

extern const char* const COMMAND_CONVERTTOWAV;

// "convertToWav": decodes each listed file and writes it as a PCM WAV file
// beside the source. Keeps no state between requests, so several requests
// may run at once on different workers, each with its own decoder.
class WavConverterHandler : public Ostra::RequestHandler {
  public:
    bool Setup() override;
    void Teardown() override {}
    unsigned long getNumCommandNames() override { return 1; }
    const char* getCommandName(unsigned long index) override;
    void processRequest(Ostra::Request& request) override;

    // The destination for a source: its file name's extension replaced by
    // ".wav", or ".wav" appended when the file name has none. False for a
    // source that is a WAV file already (any letter case), which is never
    // converted onto itself.
    static bool WavPathForSource(const std::string& source, std::string& destination);
    // Decodes `source` block by block into a WAV file at `destination`. The
    // destination is replaced only when the whole file was written; false
    // (and no change on disk) otherwise.
    static bool ConvertFile(IDecoder& decoder, const std::string& source,
                            const std::string& destination);

  private:
    void convertSongToWav(Ostra::Request& request);
};
