#include "audio/WavConverterHandler.h"

#include <atomic>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/thread/thread.hpp>
#include <cstdint>
#include <exception>
#include <vector>

#include "audio/DecoderSystem.h"
#include "audio/WavFileWriter.h"
#include "scan/PathUtils.h"

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

// Hands out the entries of one request to the lanes converting them and
// counts the successes. Shared by the lanes; every member is atomic.
class ConversionQueue {
  public:
    explicit ConversionQueue(const std::vector<const amf::amf0_data_type*>& entries)
        : m_entries(entries) {}

    // Converts entries until none are left. Between files it is an
    // interruption point, so "QUIT" ends a long request promptly.
    void Drain(IDecoder& decoder) {
        for (;;) {
            boost::this_thread::interruption_point();
            const size_t index = m_next++;
            if (index >= m_entries.size()) return;
            if (ConvertEntry(decoder, m_entries[index])) ++m_converted;
        }
    }
    uint64_t Converted() const { return m_converted.load(); }

  private:
    static bool ConvertEntry(IDecoder& decoder, const amf::amf0_data_type* value) {
        if (value == nullptr || value->get_type() != amf::AMF_STRING) return false;
        try {
            const std::string& source = static_cast<const amf::amf_string*>(value)->get_value();
            // The C calls would stop at a NUL: "x.wav\0.mp3" passes the ".wav"
            // rule and then names x.wav, which would be rewritten in place.
            if (!Ostra::IsValidPath(source)) return false;
            std::string destination;
            return WavConverterHandler::WavPathForSource(source, destination) &&
                   WavConverterHandler::ConvertFile(decoder, source, destination);
        } catch (const boost::thread_interrupted&) {
            throw;
        } catch (const std::exception&) {
            return false;  // this file is skipped; the others still run
        }
    }

    const std::vector<const amf::amf0_data_type*>& m_entries;
    std::atomic<size_t> m_next{0};
    std::atomic<uint64_t> m_converted{0};
};

// A helper thread for the duration of one request. Its destructor stops and
// joins it on every path out, an interruption of the request included.
class SecondLane {
  public:
    SecondLane() = default;
    SecondLane(const SecondLane&) = delete;
    SecondLane& operator=(const SecondLane&) = delete;
    ~SecondLane() {
        if (!m_thread.joinable()) return;
        boost::this_thread::disable_interruption noInterruption;
        if (std::uncaught_exceptions() > 0) m_thread.interrupt();
        m_thread.join();
    }

    // Waits for the lane to finish. The wait is an interruption point: when
    // the request is interrupted, so is the lane, so that stopping the helper
    // never waits for the lane's file to be converted to the end.
    void Join() {
        if (!m_thread.joinable()) return;
        try {
            m_thread.join();
        } catch (const boost::thread_interrupted&) {
            m_thread.interrupt();
            boost::this_thread::disable_interruption noInterruption;
            m_thread.join();
            throw;
        }
    }

    template <typename Work>
    void Start(Work work) {
        m_thread = boost::thread([work] {
            try {
                work();
            } catch (const boost::thread_interrupted&) {
                // The request is ending early; the owner joins.
            } catch (...) {
                // Only creating the decoder can throw here, before any entry
                // was taken: the other lane converts them all.
            }
        });
    }

  private:
    boost::thread m_thread;
};

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
    boost::shared_ptr<IDecoder> decoder = DecoderSystem::CreateDecoder();
    if (!decoder) {
        request.SendErrorResponse("WavConverterHandler Decoder initialization error.");
        return;
    }
    const amf::amf0_data_type* parameter = request.Parameter();
    if (parameter == nullptr || parameter->get_type() != amf::AMF_OBJECT) {
        request.SendErrorResponse("parameter was not an object");
        return;
    }
    const amf::amf0_data_type* list =
        static_cast<const amf::amf_object*>(parameter)->get_property("filePaths");
    if (list == nullptr || list->get_type() != amf::AMF_ECMA_ARRAY) {
        request.SendErrorResponse("filePaths property was not found");
        return;
    }

    std::vector<const amf::amf0_data_type*> entries;
    for (const auto& entry : *static_cast<const amf::amf_ecma_array*>(list))
        entries.push_back(entry.second);

    // Files are independent, so a second lane with its own decoder converts
    // alongside this thread; each lane holds one block in memory at a time.
    ConversionQueue queue(entries);
    {
        SecondLane second;
        if (entries.size() > 1 && boost::thread::hardware_concurrency() > 1) {
            second.Start([&queue] { queue.Drain(*DecoderSystem::CreateDecoder()); });
        }
        queue.Drain(*decoder);
        second.Join();
    }

    const double converted = queue.Converted();
    const double skipped = static_cast<double>(entries.size()) - converted;
    amf::amf_object result;
    result.set_numeric_property("filesConverted", converted);
    result.set_numeric_property("filesSkipped", skipped);
    request.SendResponseData(&result, true);
}
