#include "metadata/TagReader.h"

namespace Ostra {

bool ExtractMetadataFromFileAtPath(const std::string& path,
                                   std::map<std::string, std::string>& textFields,
                                   std::map<std::string, long long>& intFields) {
    (void)path;
    textFields.clear();
    intFields.clear();
    return false;
}

bool GetAlbumArtistFromFile(const std::string& path, std::string& albumArtist) {
    (void)path;
    albumArtist.clear();
    return false;
}

bool getAlbumArtistFromID3v2Tag(std::string& albumArtist, TagLib::ID3v2::Tag* tag) {
    (void)tag;
    albumArtist.clear();
    return false;
}

bool getAlbumArtistFromXiphComment(std::string& albumArtist, TagLib::Ogg::XiphComment* comment) {
    (void)comment;
    albumArtist.clear();
    return false;
}

bool isFileALAC(const std::string& path) {
    (void)path;
    return false;
}

}  // namespace Ostra
