#include "host/commands/SingleAnswer.h"

#include <iostream>

#include "host/Session.h"

namespace Ostra::host {

int runSingleAnswer(const GlobalOptions& options, const std::string& command,
                    const std::function<void(RecordWriter&, const nlohmann::json&)>& print,
                    std::vector<std::string> columns) {
    Session session(options);
    RecordWriter out(std::cout, options.outputFormat(), std::move(columns));
    const int status = exchange(session, command, nullptr,
                                [&](const nlohmann::json& data, bool) { print(out, data); });
    out.finish();
    return status;
}

}  // namespace Ostra::host
