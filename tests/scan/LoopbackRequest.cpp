#include "LoopbackRequest.h"

namespace scantest {

using testsupport::prop;
using testsupport::str;

LoopbackRequest::LoopbackRequest() {
    messenger_.reset(new Ostra::Messenger(host_.port(), nullptr));
    messenger_->start();
    host_.accept();
    request_.reset(new Ostra::Request(*messenger_));
    request_->work_started();
}

LoopbackRequest::~LoopbackRequest() {
    request_.reset();
    messenger_->stop();
}

std::vector<Value> LoopbackRequest::responsesUntilDone() {
    std::vector<Value> responses;
    while (Value response = host_.readResponse()) {
        const bool done = testsupport::isDone(response);
        responses.push_back(std::move(response));
        if (done) break;
    }
    return responses;
}

std::vector<const amf::amf0_data_type*> allEntries(const std::vector<Value>& responses) {
    std::vector<const amf::amf0_data_type*> out;
    for (const auto& response : responses) {
        for (const auto* entry : testsupport::items(prop(response, "data"))) out.push_back(entry);
    }
    return out;
}

std::vector<const amf::amf0_data_type*> entriesOfType(const std::vector<Value>& responses,
                                                      const std::string& objectType) {
    std::vector<const amf::amf0_data_type*> out;
    for (const auto* entry : allEntries(responses)) {
        if (str(prop(entry, "objectType")) == objectType) out.push_back(entry);
    }
    return out;
}

const amf::amf0_data_type* reportOf(const std::vector<Value>& responses) {
    auto reports = entriesOfType(responses, "report");
    return reports.size() == 1 ? reports[0] : nullptr;
}

Texts songsOf(const amf::amf0_data_type* playlist) {
    Texts out;
    for (const auto* s : testsupport::items(prop(playlist, "songs"))) out.push_back(str(s));
    return out;
}

}  // namespace scantest
