#pragma once

#include <string>

#include "audio/IDecoder.h"
#include "hostlink/RequestHandler.h"
#include "util/FileWorkers.h"

extern const char* const COMMAND_CONVERTTOWAV;

// "convertToWav": decodes each listed file and writes it as a PCM WAV file
// beside the source. Keeps no state between requests, so several requests
// may run at once; the files of a request are converted on the shared file
// workers, each with a decoder of its own.
class WavConverterHandler : public Ostra::RequestHandler {
  public:
    // files: the helper's file workers; null converts on the request's thread.
    explicit WavConverterHandler(Ostra::util::FileWorkers* files = nullptr) : m_files(files) {}

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

    Ostra::util::FileWorkers* const m_files;
};
