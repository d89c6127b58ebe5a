#include "host/FileList.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstring>

#include "host/UsageError.h"

namespace Ostra::host {

namespace {

// No longer name can be opened (ENAMETOOLONG), so a longer "name" means the
// list is something else: a binary file, or NUL-separated names read
// without -0. Reading stops there instead of growing one name without end
// (--files-from /dev/zero).
constexpr std::size_t kMaxNameBytes = PATH_MAX;

// The descriptor of an opened list, closed on every way out.
class ListFile {
  public:
    explicit ListFile(const std::string& path)
        : fd_(path == "-" ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC)),
          owned_(path != "-") {}
    ~ListFile() {
        if (owned_ && fd_ >= 0) ::close(fd_);
    }
    ListFile(const ListFile&) = delete;
    ListFile& operator=(const ListFile&) = delete;
    int fd() const { return fd_; }

  private:
    int fd_;
    bool owned_;
};

}  // namespace

void FileList::define(CLI::App& command) {
    command.add_option("files", arguments_, "Audio files")->type_name("FILE");
    command
        .add_option("--files-from", filesFrom_,
                    "Also the files named in FILE, one a line (- for standard input)")
        ->type_name("FILE");
    command.add_flag("-0,--null", null_, "Names in --files-from end with NUL, not a new line");
}

std::vector<std::string> FileList::files() const {
    std::vector<std::string> files = arguments_;
    if (!filesFrom_.empty()) readList(files);
    if (files.empty()) throw UsageError("no files given (name them, or use --files-from)");
    return files;
}

void FileList::readList(std::vector<std::string>& files) const {
    const std::string listName = filesFrom_ == "-" ? "standard input" : filesFrom_;
    const ListFile list(filesFrom_);
    if (list.fd() < 0) throw UsageError("cannot read " + listName + ": " + std::strerror(errno));
    const char separator = null_ ? '\0' : '\n';
    std::string name;
    // Empty names name no file: a blank line, or the NUL of "-print0"
    // followed by nothing.
    const auto endName = [&] {
        if (!name.empty()) files.push_back(name);
        name.clear();
    };
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(list.fd(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        // A folder opens, and fails here with EISDIR.
        if (n < 0) throw UsageError("cannot read " + listName + ": " + std::strerror(errno));
        if (n == 0) break;
        const char* p = buffer;
        const char* const end = buffer + n;
        while (p < end) {
            const char* stop = static_cast<const char*>(std::memchr(p, separator, end - p));
            const char* const nameEnd = stop != nullptr ? stop : end;
            // No file name holds a NUL byte: a list of lines that does is
            // NUL-separated, or no list at all (--files-from a.mp3).
            if (!null_ && std::memchr(p, '\0', nameEnd - p) != nullptr)
                throw UsageError(listName + " holds a NUL byte: NUL-separated names need -0");
            name.append(p, nameEnd);
            if (name.size() > kMaxNameBytes)
                throw UsageError("a name in " + listName + " is longer than " +
                                 std::to_string(kMaxNameBytes) + " bytes: is it a list of names, " +
                                 (null_ ? "NUL-separated?" : "one a line (NUL-separated: -0)?"));
            if (stop == nullptr) break;
            endName();
            p = stop + 1;
        }
    }
    endName();
}

}  // namespace Ostra::host
