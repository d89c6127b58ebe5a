#include "audio/DecoderSystem.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/filesystem/path.hpp>

#include "audio/BASSDecoder.h"
#include "audio/BASSSingleton.h"

bool DecoderSystem::Init() {
    return BASSSingleton::Instance().Init();
}

bool DecoderSystem::IsInited() {
    return BASSSingleton::Instance().IsInited();
}

boost::shared_ptr<IDecoder> DecoderSystem::CreateDecoder() {
    return boost::shared_ptr<IDecoder>(new BASSDecoder());
}

void DecoderSystem::SupportedExtensions(std::vector<std::string>& out) {
    for (size_t i = 0; i < BASSEXTENSIONS_COUNT; ++i) out.push_back(BASSEXTENSIONS[i]);
}

bool DecoderSystem::ExtensionSupported(const std::string& path, std::string& extension) {
    extension = boost::filesystem::path(path).extension().string();
    for (size_t i = 0; i < BASSEXTENSIONS_COUNT; ++i) {
        if (boost::algorithm::iequals(extension, BASSEXTENSIONS[i])) return true;
    }
    return false;
}
