#include "platform/bass/VorbisCommentScan.h"

#include <algorithm>
#include <cstring>

namespace Ostra::bass {

namespace {

// Decoded as a picture (a stream of its own), never stored as text.
const char kPictureKey[] = "METADATA_BLOCK_PICTURE";
// CHAPTERnnn and CHAPTERnnnNAME fields make or name chapters, found by id.
const char kChapterKey[] = "CHAPTER";

}  // namespace

bool VorbisCommentScan::number(const uint8_t*& data, size_t& length) {
    while (numberBytes_ < 4 && length > 0) {
        number_ |= static_cast<uint32_t>(*data) << (8 * numberBytes_);
        ++numberBytes_;
        ++data;
        --length;
    }
    if (numberBytes_ < 4) return false;
    numberBytes_ = 0;
    return true;
}

void VorbisCommentScan::feed(const uint8_t* data, size_t length) {
    while (length > 0 && state_ != State::Done && !cost_.exceeded()) {
        switch (state_) {
            case State::VendorLength:
                if (!number(data, length)) return;
                // A length FFmpeg reads as negative ends the block unread.
                state_ = number_ > INT32_MAX ? State::Done : State::Vendor;
                left_ = number_;
                number_ = 0;
                break;
            case State::Vendor: {
                const uint64_t take = std::min<uint64_t>(left_, length);
                data += take;
                length -= static_cast<size_t>(take);
                left_ -= take;
                if (left_ == 0) state_ = State::Count;
                break;
            }
            case State::Count:
                if (!number(data, length)) return;
                fields_ = number_;
                number_ = 0;
                headerRead_ = true;
                state_ = fields_ == 0 ? State::Done : State::FieldLength;
                break;
            case State::FieldLength:
                if (!number(data, length)) return;
                if (number_ > INT32_MAX) {
                    state_ = State::Done;
                    break;
                }
                fieldLength_ = number_;
                left_ = number_;
                number_ = 0;
                keyLength_ = 0;
                key_.clear();
                state_ = State::Key;
                if (left_ == 0) field(0, false);
                break;
            case State::Key: {
                const size_t span = static_cast<size_t>(std::min<uint64_t>(left_, length));
                const void* equals = std::memchr(data, '=', span);
                const size_t part =
                    equals != nullptr
                        ? static_cast<size_t>(static_cast<const uint8_t*>(equals) - data)
                        : span;
                if (key_.size() <= MetadataCost::kRememberedKeyLength) {
                    const size_t keep =
                        std::min(part, MetadataCost::kRememberedKeyLength + 1 - key_.size());
                    key_.append(reinterpret_cast<const char*>(data), keep);
                }
                keyLength_ += part;
                const size_t consumed = equals != nullptr ? part + 1 : part;
                data += consumed;
                length -= consumed;
                left_ -= consumed;
                if (equals != nullptr) {
                    state_ = State::Value;
                    if (left_ == 0) field(keyLength_, true);
                } else if (left_ == 0) {
                    field(keyLength_, false);
                }
                break;
            }
            case State::Value: {
                const uint64_t take = std::min<uint64_t>(left_, length);
                data += take;
                length -= static_cast<size_t>(take);
                left_ -= take;
                if (left_ == 0) field(keyLength_, true);
                break;
            }
            case State::Done:
                break;
        }
    }
}

// One whole field: stored when it has a key and a value on either side of
// its first '='.
void VorbisCommentScan::field(uint64_t keyLength, bool separated) {
    const uint64_t valueLength = separated ? fieldLength_ - keyLength - 1 : 0;
    if (separated && keyLength > 0 && valueLength > 0) {
        const std::string key = foldKey(key_);
        if (key == kPictureKey) {
            // Base64-decoded once into a picture.
            cost_.spend(valueLength);
        } else {
            if (key.compare(0, sizeof kChapterKey - 1, kChapterKey) == 0) cost_.chapter();
            cost_.add(dictionary_, keyLength <= MetadataCost::kRememberedKeyLength ? key : "",
                      keyLength, valueLength, MetadataCost::Repeat::Append);
        }
    }
    state_ = --fields_ == 0 ? State::Done : State::FieldLength;
}

void VorbisCommentScan::finish() {
    if (finished_) return;
    finished_ = true;
    // ff_vorbis_comment converts the key names after every block it read.
    if (headerRead_) cost_.rebuild(dictionary_, 1);
}

}  // namespace Ostra::bass
