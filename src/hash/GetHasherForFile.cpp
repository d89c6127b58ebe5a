#include "hash/GetHasherForFile.h"

#include <boost/algorithm/string/case_conv.hpp>

#include "hash/M4AGenerator.h"
#include "hash/MP3Generator.h"

namespace Ostra {

FileHash::Generator* GetHasherForFile(std::string path) {
    const std::string::size_type dot = path.rfind('.');
    if (dot == std::string::npos) return nullptr;
    // From the dot to the end of the path, so a dot in a folder name with
    // none in the file name gives an extension that matches nothing.
    const std::string extension = boost::algorithm::to_lower_copy(path.substr(dot));
    if (extension == ".mp3") return new FileHash::MP3Generator();
    if (extension == ".m4a") return new FileHash::M4AGenerator();
    return nullptr;
}

}  // namespace Ostra
