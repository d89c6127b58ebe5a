#include "host/FileList.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>

#include "host/UsageError.h"

namespace Ostra::host {

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
    if (!filesFrom_.empty()) {
        std::string text;
        if (filesFrom_ == "-") {
            text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        } else {
            std::ifstream in(filesFrom_, std::ios::binary);
            if (!in) throw UsageError("cannot read " + filesFrom_ + ": " + std::strerror(errno));
            text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        const char separator = null_ ? '\0' : '\n';
        std::string::size_type start = 0;
        while (start < text.size()) {
            std::string::size_type end = text.find(separator, start);
            if (end == std::string::npos) end = text.size();
            // Empty names name no file: a blank line, or the NUL of "-print0"
            // followed by nothing.
            if (end > start) files.push_back(text.substr(start, end - start));
            start = end + 1;
        }
    }
    if (files.empty()) throw UsageError("no files given (name them, or use --files-from)");
    return files;
}

}  // namespace Ostra::host
