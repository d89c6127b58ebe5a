// Driving list commands ("audioHash", "fingerprints", ...) from a benchmark.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "support/TestHost.h"

namespace benchsupport {

// Sends one request per id and waits until every one has answered "done";
// returns the final {"count"} values summed, or -1 on a failed exchange.
inline long countAll(testsupport::TestHost& host, const std::string& command,
                     const amf::amf_object& arg, const std::vector<double>& ids) {
    for (double id : ids) host.send(command, id, &arg);
    long count = 0;
    std::size_t done = 0;
    while (done < ids.size()) {
        testsupport::Value response = host.readResponse(std::chrono::seconds(600));
        if (!response) return -1;
        if (!testsupport::isDone(response)) continue;
        ++done;
        const amf::amf0_data_type* data = testsupport::prop(response, "data");
        if (!data || data->get_type() != amf::AMF_OBJECT) return -1;
        count += static_cast<long>(testsupport::num(testsupport::prop(data, "count")));
    }
    return count;
}

}  // namespace benchsupport
