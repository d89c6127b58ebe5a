#include "audio/WavConverterHandler.h"

#include <algorithm>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/thread/thread.hpp>
#include <cstdint>
#include <deque>
#include <exception>
#include <string>
#include <vector>

#include "amf/access.h"
#include "audio/DecoderSystem.h"
#include "audio/WavFileWriter.h"
#include "util/InOrder.h"
#include "util/PathUtils.h"

const char* const COMMAND_CONVERTTOWAV = "convertToWav";

namespace {

// Ends the decoder's stream on every path out of ConvertFile, including an
// interruption between blocks.
class DecodeSession {
  public:
    explicit DecodeSession(IDecoder& decoder) : m_decoder(decoder) {}
    ~DecodeSession() {
        if (m_open) m_decoder.EndDecode(nullptr);
    }
    bool End(double& seconds) {
        m_open = false;
        return m_decoder.EndDecode(&seconds);
    }

  private:
    IDecoder& m_decoder;
    bool m_open = true;
};

// The whole work on one entry, run on a file worker with a decoder of its
// own: true when it was converted. A failure skips this entry only.
bool ConvertEntry(const amf::amf0_data_type* value) {
    const std::string* text = amf::getString(value);
    if (text == nullptr) return false;
    try {
        const std::string& source = *text;
        // The C calls would stop at a NUL: "x.wav\0.mp3" passes the ".wav"
        // rule and then names x.wav, which would be rewritten in place.
        if (!Ostra::util::IsValidPath(source)) return false;
        std::string destination;
        if (!WavConverterHandler::WavPathForSource(source, destination)) return false;
        boost::shared_ptr<IDecoder> decoder = DecoderSystem::CreateDecoder();
        return decoder && WavConverterHandler::ConvertFile(*decoder, source, destination);
    } catch (const boost::thread_interrupted&) {
        throw;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

bool WavConverterHandler::Setup() {
    return DecoderSystem::IsInited();
}

const char* WavConverterHandler::getCommandName(unsigned long index) {
    return index == 0 ? COMMAND_CONVERTTOWAV : "";
}

bool WavConverterHandler::WavPathForSource(const std::string& source, std::string& destination) {
    const std::string::size_type slash = source.rfind('/');
    const std::string::size_type nameStart = slash == std::string::npos ? 0 : slash + 1;
    const std::string::size_type dot = source.rfind('.');
    // A dot that opens the file name (".hidden") does not start an extension.
    const bool hasExtension = dot != std::string::npos && dot > nameStart;
    if (hasExtension && boost::algorithm::iequals(source.substr(dot), ".wav")) return false;
    destination = (hasExtension ? source.substr(0, dot) : source) + ".wav";
    return true;
}

bool WavConverterHandler::ConvertFile(IDecoder& decoder, const std::string& source,
                                      const std::string& destination) {
    AudioHeader header;
    if (!decoder.StartDecode(source, 0, header)) return false;
    DecodeSession session(decoder);
    WavFileWriter writer;
    if (!writer.Open(destination)) return false;

    // One block in memory at a time; the final block arrives with done set.
    std::vector<unsigned char> block;
    bool done = false;
    bool more = true;
    while (more) {
        boost::this_thread::interruption_point();
        more = decoder.StepDecode(block, done);
        if (!more && !done) return false;
        // Write also refuses data beyond what the WAV size fields can describe.
        if (!block.empty() && !writer.Write(block.data(), block.size())) return false;
    }
    double seconds = 0.0;
    if (!session.End(seconds)) return false;
    // The same validity rule as AudioData::WriteWAV: nothing is written for
    // an empty decode.
    if (writer.DataBytes() == 0 || seconds <= 0.0 || !header.IsValid()) return false;
    return writer.Commit(header);
}

void WavConverterHandler::processRequest(Ostra::Request& request) {
    try {
        const std::string command = request.CommandName();
        if (command != COMMAND_CONVERTTOWAV) {
            request.SendErrorResponse("invalid convert to wav command: " + command);
            return;
        }
        convertSongToWav(request);
    } catch (const boost::thread_interrupted&) {
        throw;
    } catch (const std::exception& e) {
        request.SendErrorResponse(std::string("WavConverterHandler error: ") + e.what());
    } catch (...) {
        request.SendErrorResponse("WavConverterHandler error: unknown exception");
    }
}

void WavConverterHandler::convertSongToWav(Ostra::Request& request) {
    // Each file gets a decoder of its own; this one only shows up front that
    // decoders can be made.
    boost::shared_ptr<IDecoder> decoder = DecoderSystem::CreateDecoder();
    if (!decoder) {
        request.SendErrorResponse("WavConverterHandler Decoder initialization error.");
        return;
    }
    const amf::amf_object* parameter = amf::asObject(request.Parameter());
    if (parameter == nullptr) {
        request.SendErrorResponse("parameter was not an object");
        return;
    }
    const amf::amf_ecma_array* list = amf::asEcmaArray(*parameter, "filePaths");
    if (list == nullptr) {
        request.SendErrorResponse("filePaths property was not found");
        return;
    }

    // Entries are only read by the jobs, and the lane is gone (no job runs)
    // before the request's parameter is.
    const amf::amf_ecma_array& entries = *list;
    double converted = 0;
    double listed = 0;
    Ostra::util::InOrder<bool> converting(m_files);
    // The destinations of the entries in flight, oldest first ("" for none).
    // Entries that write the same file ("x.mp3" and "x.flac") never run at
    // once, so the later one's file is what stays, as in a sequential run.
    std::deque<std::string> writing;
    auto takeOldest = [&] {
        writing.pop_front();
        if (converting.take()) ++converted;
    };
    for (const auto& entry : entries) {
        boost::this_thread::interruption_point();
        listed += 1;
        const amf::amf0_data_type* value = entry.second;
        std::string destination;
        if (const std::string* source = amf::getString(value))
            WavPathForSource(*source, destination);
        while (!destination.empty() &&
               std::find(writing.begin(), writing.end(), destination) != writing.end())
            takeOldest();
        if (converting.full()) takeOldest();
        writing.push_back(std::move(destination));
        converting.submit([value] { return ConvertEntry(value); });
    }
    while (!converting.empty()) takeOldest();

    const double skipped = listed - converted;
    amf::amf_object result;
    result.set_numeric_property("filesConverted", converted);
    result.set_numeric_property("filesSkipped", skipped);
    request.SendResponseData(&result, true);
}
