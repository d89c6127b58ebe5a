#include "host/CliDocs.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <map>
#include <sstream>

namespace Ostra::host {

namespace {

struct Choices {
    std::vector<std::string> values;
    bool list;
};

// Filled while the options are defined, before anything reads it.
std::map<const CLI::Option*, Choices>& choiceTable() {
    static std::map<const CLI::Option*, Choices> table;
    return table;
}

const Choices* choicesOf(const CLI::Option* option) {
    auto it = choiceTable().find(option);
    return it == choiceTable().end() ? nullptr : &it->second;
}

bool isFlag(const CLI::Option* option) {
    return option->get_items_expected_max() == 0;
}

bool isHidden(const CLI::Option* option) {
    return option->get_group().empty();
}

// The option's value placeholder without the validator's text ("TEXT", "DIR").
std::string typeName(const CLI::Option* option) {
    const std::string full = option->get_type_name();
    return full.substr(0, full.find(':'));
}

std::vector<std::string> flagNames(const CLI::Option* option) {
    std::vector<std::string> names;
    for (const auto& s : option->get_snames()) names.push_back("-" + s);
    for (const auto& l : option->get_lnames()) names.push_back("--" + l);
    return names;
}

std::vector<const CLI::Option*> visibleOptions(const CLI::App& app) {
    std::vector<const CLI::Option*> options;
    for (const CLI::Option* option : app.get_options()) {
        if (!isHidden(option)) options.push_back(option);
    }
    return options;
}

std::vector<const CLI::App*> subcommandsOf(const CLI::App& app) {
    return app.get_subcommands([](const CLI::App*) { return true; });
}

// Text for roff: backslashes escaped, hyphens as minus signs (so that
// options can be searched and copied), no line taken for a request.
std::string roff(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') {
            out += "\\e";
        } else if (c == '-') {
            out += "\\-";
        } else {
            out += c;
        }
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out = "\\&" + out;
    return out;
}

// How a positional argument is shown: its value type where one was named
// (FILE, DIR, COMMAND, JSON), else its name in capitals.
std::string positionalName(const CLI::Option* option) {
    std::string name = typeName(option);
    if (name.empty() || name == "TEXT") {
        name = option->get_name(true);
        for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return name;
}

std::string valuePlaceholder(const CLI::Option* option) {
    if (const Choices* choices = choicesOf(option)) {
        std::string text;
        for (const auto& value : choices->values) text += (text.empty() ? "" : "|") + value;
        return choices->list ? text + ",..." : text;
    }
    return typeName(option);
}

void describeOption(std::ostringstream& out, const CLI::Option* option) {
    out << ".TP\n";
    if (option->get_positional() && !option->nonpositional()) {
        out << "\\fI" << roff(positionalName(option)) << "\\fR";
        if (option->get_items_expected_max() > 1) out << "...";
        out << "\n";
    } else {
        std::string line;
        for (const auto& name : flagNames(option)) {
            if (!line.empty()) line += ", ";
            line += "\\fB" + roff(name) + "\\fR";
        }
        if (!isFlag(option)) line += " \\fI" + roff(valuePlaceholder(option)) + "\\fR";
        out << line << "\n";
    }
    std::string text = option->get_description();
    if (!option->get_default_str().empty()) text += " (default: " + option->get_default_str() + ")";
    if (!option->get_envname().empty()) text += "; also from " + option->get_envname();
    out << roff(text) << "\n";
}

std::string synopsisOf(const CLI::App& sub) {
    std::string line =
        "\\fBostra\\-host\\fR [\\fIOPTIONS\\fR] \\fB" + roff(sub.get_name()) + "\\fR";
    bool flags = false;
    for (const CLI::Option* option : visibleOptions(sub)) {
        if (option == sub.get_help_ptr()) continue;
        if (option->get_positional() && !option->nonpositional()) {
            const std::string name = "\\fI" + roff(positionalName(option)) + "\\fR" +
                                     (option->get_items_expected_max() > 1 ? "..." : "");
            line += option->get_required() ? " " + name : " [" + name + "]";
        } else {
            flags = true;
        }
    }
    if (flags) line += " [\\fIFLAGS\\fR]";
    return line;
}

const char* const kManTail = R"(.SH OUTPUT
JSON Lines on standard output: one record a line as it arrives, then the summary (a scan's
report, {"count": n}, the conversion counts).
\fB\-\-format table\fR prints a table for people instead, aligned by display width, with the
summary as "key: value" lines under it.
On a terminal a progress line is drawn on standard error and erased before anything else is
written.
For a file that failed, the record holds the helper's own text in "error" (when it gave one)
and, in "reason", what \fBostra\-host\fR found itself: the system's text for a file that
cannot be opened ("No such file or directory", "Permission denied", "Is a directory"),
"not a regular file", or "unsupported or damaged audio" (for \fBwav\fR also "already a WAV
file" and "the WAV file cannot be written: ...", for \fBfingerprint\fR "too short to
fingerprint" where the helper's text says so).
Control characters in a table cell show as "?".
A path that is not UTF\-8 shows U+FFFD for its odd bytes in "path" (or "wav"), and its
bytes in base64 in "pathBytes" (or "wavBytes").
.SH EXIT STATUS
.TP
.B 0
every item succeeded
.TP
.B 1
an item failed (the number of failures is given on standard error), the helper answered
an error, or standard output could not be written (when its reader went away,
\fBostra\-host\fR ends by SIGPIPE instead, as any writer does)
.TP
.B 2
usage error: an unknown subcommand or flag, a missing argument, a file list that cannot be
read or holds no names (a NUL byte without \fB\-0\fR, a name longer than any path)
.TP
.B 3
the helper was not found, did not start, or died
.PP
\fBkeep\-awake\fR exits with its command's status (126 when the command cannot be run, 127
when it is not found).
.SH ENVIRONMENT
.TP
.B OSTRA_NATIVE
the helper program, as \fB\-\-helper\fR
.TP
.B PATH
searched for \fBostra\-native\fR when it is not beside \fBostra\-host\fR
.TP
.B OSTRA_RECORD_LOG
when set, every request sent and every response envelope received is appended to this
file as one JSON line (used by the test suite to check the records against the JSON Schemas)
.TP
.B OSTRA_CACHE\fR, \fBXDG_CACHE_HOME\fR, \fBHOME
where \fBcache\fR finds the helper's file cache, as the helper does (\fBoff\fR: none)
.SH EXAMPLES
.nf
ostra\-host scan ~/Music \-\-ext mp3,m4a,flac
ostra\-host scan ~/Music | jq \-c 'select(.objectType == "duplicate")'
find ~/Music \-name '*.mp3' \-print0 | ostra\-host hash \-\-files\-from \- \-0
ostra\-host \-\-format table tags a.mp3 b.flac
ostra\-host keep\-awake rsync \-a ~/Music /mnt/backup
ostra\-host raw echo '{"hello": "world"}'
.fi
.SH SEE ALSO
\fBostra\-native\fR(1)
)";

// A bash word list, quoted for a double-quoted context.
std::string words(const std::vector<std::string>& items) {
    std::string text;
    for (const auto& item : items) text += (text.empty() ? "" : " ") + item;
    return text;
}

}  // namespace

CLI::Option* withChoices(CLI::Option* option, std::vector<std::string> choices, bool list) {
    choiceTable()[option] = Choices{std::move(choices), list};
    return option;
}

std::string manPage(const CLI::App& app, const std::string& version) {
    std::ostringstream out;
    out << ".TH OSTRA\\-HOST 1 \"\" \"OstraNative " << roff(version) << "\" \"User Commands\"\n"
        << ".SH NAME\n"
        << "ostra\\-host \\- drive the OstraNative helper from a shell\n"
        << ".SH SYNOPSIS\n"
        << "\\fBostra\\-host\\fR [\\fIOPTIONS\\fR] \\fISUBCOMMAND\\fR [\\fIARGS\\fR]\n.br\n"
        << "\\fBostra\\-host\\fR [\\fIOPTIONS\\fR] [\\fBraw\\fR] \\fIHELPER\\-COMMAND\\fR "
           "[\\fIJSON\\fR]\n"
        << ".SH DESCRIPTION\n"
        << roff(app.get_description()) << "\n"
        << ".SH OPTIONS\n"
        << "These go before or after the subcommand.\n";
    for (const CLI::Option* option : visibleOptions(app)) describeOption(out, option);
    out << ".SH SUBCOMMANDS\n";
    for (const CLI::App* sub : subcommandsOf(app)) {
        out << ".SS " << roff(sub->get_name()) << "\n"
            << synopsisOf(*sub) << "\n.PP\n"
            << roff(sub->get_description()) << "\n";
        for (const CLI::Option* option : visibleOptions(*sub)) {
            if (option != sub->get_help_ptr()) describeOption(out, option);
        }
    }
    out << ".PP\nA first word that is a helper command name sends that command raw: "
           "\\fBostra\\-host version\\fR is \\fBostra\\-host raw version\\fR.\n"
        << kManTail;
    return out.str();
}

std::string bashCompletion(const CLI::App& app) {
    std::ostringstream out;
    std::vector<std::string> globalWords, globalValued, subNames;
    for (const CLI::Option* option : visibleOptions(app)) {
        for (const auto& name : flagNames(option)) {
            globalWords.push_back(name);
            if (!isFlag(option)) globalValued.push_back(name);
        }
    }
    for (const CLI::App* sub : subcommandsOf(app)) subNames.push_back(sub->get_name());

    // The values a flag takes, the same for every subcommand that has it.
    std::map<std::string, std::string> valueCases;
    const auto addValueCase = [&](const CLI::Option* option) {
        if (isFlag(option) || (option->get_positional() && !option->nonpositional())) return;
        std::string action;
        if (const Choices* choices = choicesOf(option)) {
            action = choices->list ? "_ostra_host_list \"" + words(choices->values) + "\""
                                   : "_ostra_host_words \"" + words(choices->values) + "\"";
        } else if (typeName(option) == "FILE") {
            action = "_ostra_host_files";
        } else if (typeName(option) == "DIR") {
            action = "_ostra_host_dirs";
        } else {
            action = "COMPREPLY=()";
        }
        for (const auto& name : flagNames(option)) valueCases[name] = action;
    };
    for (const CLI::Option* option : visibleOptions(app)) addValueCase(option);
    for (const CLI::App* sub : subcommandsOf(app)) {
        for (const CLI::Option* option : visibleOptions(*sub)) addValueCase(option);
    }

    out << "# bash completion for ostra-host, written by `ostra-host --bash-completion`\n"
        << "# from the same option definitions as its --help and man page.\n"
        << "_ostra_host_words() { mapfile -t COMPREPLY < <(compgen -W \"$1\" -- \"$cur\"); }\n"
        << "_ostra_host_list() {\n"
        << "    local done=\"\" item\n"
        << "    [[ $cur == *,* ]] && done=${cur%,*},\n"
        << "    COMPREPLY=()\n"
        << "    for item in $(compgen -W \"$1\" -- \"${cur##*,}\"); do "
           "COMPREPLY+=(\"$done$item\"); "
           "done\n"
        << "    compopt -o nospace 2>/dev/null\n"
        << "}\n"
        << "_ostra_host_files() {\n"
        << "    compopt -o filenames 2>/dev/null\n"
        << "    mapfile -t COMPREPLY < <(compgen -f -- \"$cur\")\n"
        << "}\n"
        << "_ostra_host_dirs() {\n"
        << "    compopt -o filenames 2>/dev/null\n"
        << "    mapfile -t COMPREPLY < <(compgen -d -- \"$cur\")\n"
        << "}\n"
        << "_ostra_host() {\n"
        << "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
        // Bash splits "--format=table" at the "=": "--format" "=" "table".
        << "    if [[ $cur == = ]]; then cur=\"\"\n"
        << "    elif [[ $prev == = ]]; then prev=${COMP_WORDS[COMP_CWORD-2]}; fi\n"
        << "    local sub=\"\" at=0 i\n"
        << "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
        << "        case ${COMP_WORDS[i]} in\n";
    if (!globalValued.empty()) {
        std::string pattern;
        for (const auto& name : globalValued) pattern += (pattern.empty() ? "" : "|") + name;
        out << "            " << pattern
            << ") [[ ${COMP_WORDS[i+1]} == = ]] && ((i++)); ((i++)) ;;\n";
    }
    out << "            -*) ;;\n"
        << "            *) sub=${COMP_WORDS[i]}; at=$i; break ;;\n"
        << "        esac\n"
        << "    done\n";
    // keep-awake: from the command's first word on, the command completes.
    for (const CLI::App* sub : subcommandsOf(app)) {
        bool runsCommand = false;
        for (const CLI::Option* option : sub->get_options()) {
            if (option->get_positional() && typeName(option) == "COMMAND") runsCommand = true;
        }
        if (!runsCommand) continue;
        out << "    if [[ $sub == " << sub->get_name() << " ]]; then\n"
            << "        for ((i = at + 1; i < COMP_CWORD; i++)); do\n"
            << "            [[ ${COMP_WORDS[i]} == -* ]] && continue\n"
            << "            compopt -o default 2>/dev/null; COMPREPLY=(); return\n"
            << "        done\n"
            << "        if [[ $cur != -* ]]; then\n"
            << "            mapfile -t COMPREPLY < <(compgen -c -- \"$cur\"); return\n"
            << "        fi\n"
            << "    fi\n";
    }
    out << "    case $prev in\n";
    for (const auto& [name, action] : valueCases)
        out << "        " << name << ") " << action << "; return ;;\n";
    out << "    esac\n"
        << "    case $sub in\n"
        << "        \"\")\n"
        << "            _ostra_host_words \"" << words(subNames) << " " << words(globalWords)
        << "\" ;;\n";
    for (const CLI::App* sub : subcommandsOf(app)) {
        std::vector<std::string> flags;
        std::string positional = "COMPREPLY=()";
        for (const CLI::Option* option : visibleOptions(*sub)) {
            if (option->get_positional() && !option->nonpositional()) {
                if (const Choices* choices = choicesOf(option)) {
                    positional = "_ostra_host_words \"" + words(choices->values) + "\"";
                } else if (typeName(option) == "FILE") {
                    positional = "_ostra_host_files";
                } else if (typeName(option) == "DIR") {
                    positional = "_ostra_host_dirs";
                }
                continue;
            }
            for (const auto& name : flagNames(option)) flags.push_back(name);
        }
        for (const auto& name : globalWords) {
            if (std::find(flags.begin(), flags.end(), name) == flags.end()) flags.push_back(name);
        }
        out << "        " << sub->get_name() << ")\n"
            << "            if [[ $cur == -* ]]; then\n"
            << "                _ostra_host_words \"" << words(flags) << "\"\n"
            << "            else\n"
            << "                " << positional << "\n"
            << "            fi ;;\n";
    }
    out << "    esac\n"
        << "}\n"
        << "complete -F _ostra_host ostra-host\n";
    return out.str();
}

}  // namespace Ostra::host
