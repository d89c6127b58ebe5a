#include "host/HelperLocator.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/Session.h"

namespace Ostra::host {

namespace {

constexpr const char* kHelperName = "ostra-native";

bool isExecutableFile(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

std::string joinPath(const std::string& dir, const std::string& name) {
    // An empty PATH entry means the current folder, as for execvp.
    if (dir.empty()) return "./" + name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::vector<std::string> pathFolders() {
    std::vector<std::string> folders;
    const char* path = std::getenv("PATH");
    if (path == nullptr) return folders;
    std::string text(path);
    std::string::size_type start = 0;
    for (;;) {
        const std::string::size_type colon = text.find(':', start);
        folders.push_back(text.substr(start, colon - start));
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    return folders;
}

std::string selfFolder() {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return {};
    std::string path(self, static_cast<std::size_t>(n));
    return path.substr(0, path.rfind('/'));
}

}  // namespace

std::string locateHelper(const std::string& requested) {
    if (requested.find('/') != std::string::npos) {
        if (isExecutableFile(requested)) return requested;
        struct stat info;
        const std::string why = stat(requested.c_str(), &info) != 0 ? std::strerror(errno)
                                : S_ISDIR(info.st_mode)             ? "is a folder"
                                                                    : "not executable";
        throw HelperFailure("the helper " + requested + " cannot be run: " + why);
    }
    const std::string name = requested.empty() ? kHelperName : requested;
    std::vector<std::string> tried;
    if (requested.empty()) {
        const std::string beside = selfFolder();
        if (!beside.empty()) {
            tried.push_back(joinPath(beside, name));
            if (isExecutableFile(tried.back())) return tried.back();
        }
    }
    for (const auto& folder : pathFolders()) {
        tried.push_back(joinPath(folder, name));
        if (isExecutableFile(tried.back())) return tried.back();
    }
    std::string where;
    for (const auto& path : tried) where += (where.empty() ? "" : ", ") + path;
    if (where.empty()) where = "nowhere: PATH is not set";
    throw HelperFailure(name + " not found (tried " + where +
                        "); name it with --helper PATH or OSTRA_NATIVE");
}

}  // namespace Ostra::host
