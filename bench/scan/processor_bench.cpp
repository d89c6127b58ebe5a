// The media processor alone: feeds N synthetic song records (one in ten a
// duplicate by path, one in ten by artist metadata) through one processor
// whose batches go over a real loopback connection to a sink that discards
// them, and prints the records per second and the process's peak memory.
//
// Usage: processor_bench [N]
#include <sys/resource.h>

#include <boost/asio.hpp>
#include <chrono>
#include <iostream>
#include <string>
#include <thread>

#include "hostlink/Messenger.h"
#include "hostlink/Request.h"
#include "scan/MediaProcessor.h"

namespace asio = boost::asio;

namespace {

long peakKilobytes() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

amf::amf_object syntheticSong(long n) {
    static const char* const kTypes[] = {".mp3", ".m4a", ".flac"};
    // Every tenth record repeats the previous path, every tenth (offset by
    // five) repeats the previous record's tags under a new path.
    const long tagsOf = n % 10 == 5 ? n - 1 : n;
    const long pathOf = n % 10 == 9 ? n - 1 : n;
    amf::amf_object song;
    song.set_string_property("path", "/home/user/Music/Artist " + std::to_string(pathOf / 200) +
                                         "/Album " + std::to_string(pathOf / 12) + "/" +
                                         std::to_string(pathOf) + " Song" + kTypes[pathOf % 3]);
    song.set_string_property("title", "Song title " + std::to_string(tagsOf));
    song.set_string_property("artist", "Artist " + std::to_string(tagsOf / 200));
    song.set_string_property("album", "Album " + std::to_string(tagsOf / 12));
    song.set_string_property("albumArtist", "Album artist " + std::to_string(tagsOf / 400));
    song.set_string_property("genre", "Rock");
    song.set_numeric_property("trackNumber", static_cast<double>(tagsOf % 12 + 1));
    song.set_numeric_property("duration", static_cast<double>(180 + tagsOf % 120));
    song.set_numeric_property("size", 4.0e6 + static_cast<double>(tagsOf));
    return song;
}

}  // namespace

int main(int argc, char** argv) {
    const long records = argc > 1 ? std::stol(argv[1]) : 100000;

    // The sink: accepts the messenger's connection and discards every byte.
    asio::io_service sinkService;
    asio::ip::tcp::acceptor acceptor(sinkService,
                                     asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    const unsigned short port = acceptor.local_endpoint().port();
    long long received = 0;
    std::thread sink([&] {
        asio::ip::tcp::socket socket(sinkService);
        acceptor.accept(socket);
        char buffer[65536];
        boost::system::error_code ec;
        for (;;) {
            const std::size_t n = socket.read_some(asio::buffer(buffer), ec);
            if (ec) break;
            received += static_cast<long long>(n);
        }
    });

    const long baseline = peakKilobytes();
    Ostra::Messenger messenger(port, nullptr);
    messenger.start();
    double seconds = 0;
    {
        Ostra::Request request(messenger);
        Ostra::MediaProcessor processor(request, 100);
        const auto start = std::chrono::steady_clock::now();
        for (long n = 0; n < records; ++n) {
            amf::amf_object song = syntheticSong(n);
            processor.processSongObject(&song);
        }
        processor.finish();
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    // Let the connection drain before closing it.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    messenger.stop();
    sink.join();

    const long peak = peakKilobytes();
    std::cout << "processor alone: " << records << " synthetic records in " << seconds
              << " s = " << static_cast<long>(records / seconds) << " records/s; "
              << received / (1024 * 1024) << " MiB sent\n";
    std::cout << "peak resident memory: " << peak / 1024 << " MiB (" << (peak - baseline) / 1024
              << " MiB above the start; goal < 100 MB)\n";
    return 0;
}
