#include <CLI/CLI.hpp>
#include <iostream>

#include "host/CliDocs.h"
#include "host/CommandLine.h"
#include "host/ProcessSetup.h"
#include "host/Session.h"
#include "host/UsageError.h"
#include "host/client/JsonAmf.h"
#include "host/commands/Subcommand.h"

namespace Ostra::host {

namespace {

using nlohmann::json;

// Any command with a JSON argument; the response envelopes themselves are
// printed, one per line, as they arrive.
class RawCommand : public Subcommand {
  public:
    CLI::App* define(CLI::App& app) override {
        CLI::App* raw = app.add_subcommand(
            "raw", "Send any command with a JSON argument; print the response envelopes");
        withChoices(
            raw->add_option("command", command_, "Command name, e.g. version, echo, scanDirectory")
                ->required(),
            helperCommandNames());
        raw->add_option("arg", arg_,
                        "The argument as JSON; objects become AMF0 objects, arrays ECMA arrays "
                        "keyed \"0\", \"1\", ...")
            ->type_name("JSON");
        return raw;
    }

    int run(const GlobalOptions& options) override {
        std::unique_ptr<json> arg;
        if (!arg_.empty()) {
            try {
                arg.reset(new json(json::parse(arg_)));
            } catch (const json::exception& e) {
                throw UsageError(std::string("the argument is not JSON: ") + e.what());
            }
        }
        Session session(options, false);
        const double id = session.send(command_, arg.get());
        Response response;
        for (;;) {
            session.receive(response);
            std::cout << dumpLine(response.envelope) << "\n";
            flushOutput(std::cout);
            if (response.id == id && response.done)
                return errorText(response.data).empty() ? kSuccess : kFailed;
        }
    }

  private:
    std::string command_;
    std::string arg_;
};

}  // namespace

std::unique_ptr<Subcommand> makeRawCommand() {
    return std::unique_ptr<Subcommand>(new RawCommand());
}

}  // namespace Ostra::host
