#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "amf/amf0.h"
#include "hostlink/Request.h"

namespace Ostra {

// A batch also closes once its records encode to this many bytes, so that a
// batch size meant for small records cannot make a frame of large ones too
// long for the host.
constexpr std::size_t kMaxBatchBytes = 16u * 1024u * 1024u;

// The data responses of one list request: records are encoded into an ECMA
// array as they come, and the array is sent with "done" false once it holds
// the batch size of entries or kMaxBatchBytes bytes, whichever comes first.
// So the batch size is an upper bound and no frame passes kMaxFrameLength.
// Used by the one worker thread running the request.
class ResponseBatch {
  public:
    // A batch size of 0 sends every record at once, like 1.
    ResponseBatch(Request& request, std::uint64_t batchSize)
        : request_(request), batchSize_(batchSize) {}
    ResponseBatch(const ResponseBatch&) = delete;
    ResponseBatch& operator=(const ResponseBatch&) = delete;

    // True when the record could ever go out in a frame of its own.
    static bool fitsInFrame(const amf::amf0_data_type& record);

    // Appends the record, then sends the batch if it is full. A record too
    // large for any frame is not appended: false, and the caller puts its
    // per-item error in its place. With countsTowardSize false only the byte
    // bound may close the batch (for entries that ride along with the next
    // one).
    bool add(const amf::amf0_data_type& record, bool countsTowardSize = true);
    // The same for a record that encode() has already turned into bytes
    // (on a file worker, say), which are appended as they are.
    bool addEncoded(std::string_view bytes);
    // Sends the records held, if any, with "done" false.
    void flush();
    // Appends last (which must be small) and sends everything with "done" true.
    void finish(const amf::amf0_data_type& last);
    std::size_t count() const { return records_.get_count(); }

  private:
    // Sends the records held first when a record of `size` bytes would not
    // fit in their frame.
    void makeRoom(std::size_t size);
    void closeIfFull(bool countsTowardSize);

    Request& request_;
    const std::uint64_t batchSize_;
    amf::amf_encoded_ecma_array records_;
};

}  // namespace Ostra
