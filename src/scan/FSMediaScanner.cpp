#include "scan/FSMediaScanner.h"

#include <boost/algorithm/string/trim.hpp>
#include <boost/filesystem.hpp>
#include <boost/thread/thread.hpp>
#include <cctype>
#include <map>
#include <vector>

#include "metadata/TagReader.h"
#include "scan/PathUtils.h"

namespace Ostra {

namespace fs = boost::filesystem;

namespace {

const char kScanFailed[] = "Problem occurred during file system scanning.";
const std::size_t kExtensionBuckets = 100;

}  // namespace

FSMediaScanner::FSMediaScanner(boost::shared_ptr<IMediaProcessor> processor, std::string startPath,
                               const amf::amf_ecma_array* validExtensions)
    : MediaScanner(processor), startPath_(startPath), validExtensions_(kExtensionBuckets) {
    boost::algorithm::trim_if(startPath_, IsWhiteSpace());
    if (validExtensions == nullptr) return;
    for (const auto& entry : *validExtensions) {
        if (entry.second != nullptr && entry.second->get_type() == amf::AMF_STRING) {
            validExtensions_.insert(static_cast<const amf::amf_string*>(entry.second)->get_value());
        }
    }
}

// Pre-order walk over a stack of plain directory iterators, one per open
// directory. Boost's recursive iterator ends the whole walk when it fails to
// open a sub-directory, so it cannot skip one unreadable folder and go on.
void FSMediaScanner::doScan() {
    std::vector<fs::directory_iterator> open;
    {
        boost::system::error_code ec;
        fs::directory_iterator root(fs::path(startPath_), ec);
        if (ec) {
            processor_->error(kScanFailed);
            return;
        }
        open.push_back(std::move(root));
    }
    const fs::directory_iterator end;
    while (!open.empty()) {
        boost::this_thread::interruption_point();
        if (open.back() == end) {
            open.pop_back();
            continue;
        }
        fs::path directory;
        try {
            const fs::directory_entry& entry = *open.back();
            const fs::file_status linkStatus = entry.symlink_status();
            // Follows links; a broken link reads as not found and is passed over.
            const fs::file_status status = fs::status(entry.path());
            if (fs::is_regular_file(status)) {
                scanFile(entry.path().string());
            } else if (fs::is_directory(linkStatus)) {
                directory = entry.path();
            }
        } catch (const boost::thread_interrupted&) {
            throw;
        } catch (const std::exception&) {
            // This entry is skipped (not descended into); the walk goes on.
            directory.clear();
        } catch (...) {
            processor_->error(kScanFailed);
            return;
        }

        boost::system::error_code ec;
        open.back().increment(ec);
        if (ec) {
            processor_->error(kScanFailed);
            return;
        }
        if (!directory.empty()) {
            fs::directory_iterator child(directory, ec);
            // A sub-directory that cannot be opened is skipped silently.
            if (!ec) open.push_back(std::move(child));
        }
    }
}

void FSMediaScanner::scanFile(const std::string& path) {
    if (!filePathHasValidExtension(path)) return;
    amf::amf_object song;
    song.set_string_property("path", path);
    fillInSongMetadataFromFile(&song, path);
    processor_->processSongObject(&song);
}

bool FSMediaScanner::filePathHasValidExtension(const std::string& path) const {
    const fs::path file(path);
    std::string extension = file.extension().string();
    if (extension.empty()) return false;
    extension.erase(0, 1);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    // Hidden files, including names that are only an extension like ".mp3".
    const std::string name = file.filename().string();
    if (name.empty() || name[0] == '.') return false;
    return validExtensions_.count(extension) != 0;
}

void FSMediaScanner::fillInSongMetadataFromFile(amf::amf_object* song, std::string path) {
    std::map<std::string, std::string> textFields;
    std::map<std::string, long long> intFields;
    // A file that cannot be read still yields whatever the maps hold, so an
    // unreadable file is reported with its path alone.
    ExtractMetadataFromFileAtPath(path, textFields, intFields);
    for (const auto& field : textFields) {
        const amf::amf0_data_type* present = song->get_property(field.first);
        if (present == nullptr || present->get_type() != amf::AMF_STRING) {
            song->set_string_property(field.first, field.second);
        }
    }
    for (const auto& field : intFields) {
        const amf::amf0_data_type* present = song->get_property(field.first);
        if (present == nullptr || present->get_type() != amf::AMF_NUMBER) {
            song->set_numeric_property(field.first, static_cast<double>(field.second));
        }
    }
}

}  // namespace Ostra
