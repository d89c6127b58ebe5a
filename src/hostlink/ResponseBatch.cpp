#include "hostlink/ResponseBatch.h"

#include "hostlink/Messenger.h"

namespace Ostra {

namespace {

// Room in a frame for everything around one record: the response envelope,
// the array's count and end marker, and the record's index key.
constexpr std::size_t kFrameOverhead = 1024;

}  // namespace

bool ResponseBatch::fitsInFrame(const amf::amf0_data_type& record) {
    return amf::get_size(&record) <= kMaxFrameLength - kFrameOverhead;
}

bool ResponseBatch::add(const amf::amf0_data_type& record, bool countsTowardSize) {
    const std::size_t size = amf::get_size(&record);
    if (size > kMaxFrameLength - kFrameOverhead) return false;
    makeRoom(size);
    records_.push_back(&record, size);
    closeIfFull(countsTowardSize);
    return true;
}

bool ResponseBatch::addEncoded(std::string_view bytes) {
    if (bytes.size() > kMaxFrameLength - kFrameOverhead) return false;
    makeRoom(bytes.size());
    records_.push_encoded(bytes);
    closeIfFull(true);
    return true;
}

void ResponseBatch::makeRoom(std::size_t size) {
    if (records_.get_count() > 0 && records_.get_size() + size > kMaxFrameLength - kFrameOverhead)
        flush();
}

void ResponseBatch::closeIfFull(bool countsTowardSize) {
    if (records_.get_size() >= kMaxBatchBytes ||
        (countsTowardSize && records_.get_count() >= batchSize_))
        flush();
}

void ResponseBatch::flush() {
    if (records_.get_count() == 0) return;
    request_.SendResponseData(&records_, false);
    records_.remove_all();
}

void ResponseBatch::finish(const amf::amf0_data_type& last) {
    if (records_.get_count() > 0 &&
        records_.get_size() + amf::get_size(&last) > kMaxFrameLength - kFrameOverhead)
        flush();
    records_.push_back(&last);
    request_.SendResponseData(&records_, true);
    records_.remove_all();
}

}  // namespace Ostra
