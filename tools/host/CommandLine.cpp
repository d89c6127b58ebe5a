#include "host/CommandLine.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>

#include "host/UsageError.h"

namespace Ostra::host {

namespace {

std::string lowered(const std::string& text) {
    std::string out = text;
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Edits between two words, a swap of neighbours counting as one
// (optimal string alignment distance).
std::size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

// Global options that take a value, so the word after them is no subcommand.
bool takesValue(const CLI::App& app, const std::string& word) {
    if (word.rfind("--", 0) != 0 || word.find('=') != std::string::npos) return false;
    for (const CLI::Option* option : app.get_options()) {
        if (option->get_items_expected_max() == 0) continue;
        for (const auto& name : option->get_lnames()) {
            if (word == "--" + name) return true;
        }
    }
    return false;
}

// A subcommand that runs a command (keep-awake) takes it as its COMMAND
// argument.
bool takesCommand(const CLI::App& sub) {
    for (const CLI::Option* option : sub.get_options()) {
        if (option->get_positional() && option->get_type_name() == "COMMAND") return true;
    }
    return false;
}

// Puts "--" before the first word from `from` on that is not a flag, so that
// the command keeps every word after its name, flags too: `keep-awake ls -la`.
void separateCommand(const CLI::App& app, const CLI::App& sub, std::vector<std::string>& args,
                     std::size_t from) {
    for (std::size_t j = from; j < args.size(); ++j) {
        const std::string& word = args[j];
        if (word == "--") return;
        if (!word.empty() && word[0] == '-') {
            if (takesValue(app, word) || takesValue(sub, word)) ++j;
            continue;
        }
        args.insert(args.begin() + static_cast<std::ptrdiff_t>(j), "--");
        return;
    }
}

// The parser ends a subcommand at a "--" that follows its arguments, so
// `hash a.mp3 -- -b.mp3` would refuse "-b.mp3". Its arguments before the
// "--" move behind it, where they are arguments all the same.
void argumentsAfterSeparator(const CLI::App& app, const CLI::App& sub,
                             std::vector<std::string>& args, std::size_t from) {
    const auto separator =
        std::find(args.begin() + static_cast<std::ptrdiff_t>(from), args.end(), std::string("--"));
    if (separator == args.end()) return;
    const std::size_t end = static_cast<std::size_t>(separator - args.begin());
    std::vector<std::string> out(args.begin(), args.begin() + static_cast<std::ptrdiff_t>(from));
    std::vector<std::string> arguments;
    for (std::size_t j = from; j < end; ++j) {
        const std::string& word = args[j];
        if (word.size() > 1 && word[0] == '-') {
            out.push_back(word);
            if ((takesValue(app, word) || takesValue(sub, word)) && j + 1 < end)
                out.push_back(args[++j]);
        } else {
            arguments.push_back(word);
        }
    }
    out.push_back("--");
    out.insert(out.end(), arguments.begin(), arguments.end());
    out.insert(out.end(), separator + 1, args.end());
    args.swap(out);
}

}  // namespace

const std::vector<std::string>& helperCommandNames() {
    static const std::vector<std::string> names = {"echo",
                                                   "version",
                                                   "scanDirectory",
                                                   "scanMediaLibs",
                                                   "extractMetadataFromFiles",
                                                   "audioHash",
                                                   "convertToWav",
                                                   "fingerprints",
                                                   "getSupportedExtensions",
                                                   "systemInfo",
                                                   "deviceId",
                                                   "preventSleep",
                                                   "allowSleep"};
    return names;
}

std::string closestName(const std::string& word, const std::vector<std::string>& names) {
    const std::string key = lowered(word);
    std::string best;
    std::size_t bestDistance = 3;
    for (const auto& name : names) {
        const std::size_t distance = editDistance(key, lowered(name));
        // Short words need a closer match, or every two letters would
        // suggest something.
        if (distance < bestDistance && distance * 3 <= word.size() + 1) {
            best = name;
            bestDistance = distance;
        }
    }
    return best;
}

std::vector<std::string> normalizedArguments(const CLI::App& app,
                                             const std::vector<std::string>& args) {
    std::vector<std::string> out = args;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::string& word = out[i];
        if (word == "--") break;
        if (!word.empty() && word[0] == '-') {
            if (takesValue(app, word)) ++i;
            continue;
        }
        std::vector<std::string> subcommands;
        for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
            subcommands.push_back(sub->get_name());
        if (std::find(subcommands.begin(), subcommands.end(), word) != subcommands.end()) {
            const CLI::App* sub = app.get_subcommand(word);
            if (takesCommand(*sub)) {
                separateCommand(app, *sub, out, i + 1);
            } else {
                argumentsAfterSeparator(app, *sub, out, i + 1);
            }
            break;
        }
        const auto& commands = helperCommandNames();
        if (std::find(commands.begin(), commands.end(), word) != commands.end()) {
            out.insert(out.begin() + static_cast<std::ptrdiff_t>(i), "raw");
            argumentsAfterSeparator(app, *app.get_subcommand("raw"), out, i + 1);
            break;
        }
        std::vector<std::string> names = subcommands;
        names.insert(names.end(), commands.begin(), commands.end());
        const std::string suggestion = closestName(word, names);
        if (!suggestion.empty())
            throw UsageError("unknown subcommand \"" + word + "\", did you mean " + suggestion +
                             "?");
        throw UsageError("unknown subcommand \"" + word +
                         "\"; see ostra-host --help (any helper command goes with raw: "
                         "ostra-host raw NAME [JSON])");
    }
    return out;
}

}  // namespace Ostra::host
