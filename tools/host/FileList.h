#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace Ostra::host {

// The files a file-list subcommand works on: its arguments, then the names
// read from --files-from (one a line, or NUL-separated with -0, so that
// `find ... -print0` works on any file name).
class FileList {
  public:
    // Adds the "files" argument, --files-from and -0/--null to `command`.
    void define(CLI::App& command);
    // Every file, in order. Throws UsageError when --files-from cannot be
    // read or no file is named at all.
    std::vector<std::string> files() const;

  private:
    void readList(std::vector<std::string>& files) const;

    std::vector<std::string> arguments_;
    std::string filesFrom_;
    bool null_ = false;
};

}  // namespace Ostra::host
