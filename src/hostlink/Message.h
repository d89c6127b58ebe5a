#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Ostra {

// One frame body. A value type: copies are deep.
class Message {
  public:
    Message() = default;
    explicit Message(unsigned long size) : bytes_(size, 0) {}

    unsigned long getSize() const { return bytes_.size(); }
    unsigned char* data() { return bytes_.data(); }
    const unsigned char* data() const { return bytes_.data(); }
    const unsigned char* end() const { return bytes_.data() + bytes_.size(); }
    // Shrinking keeps the allocation, so a reused read buffer is not reallocated.
    void setSize(unsigned long size) { bytes_.resize(size, 0); }

  private:
    std::vector<unsigned char> bytes_;
};

// Receives whole frame bodies. Called on connection threads, possibly on two
// at once for consecutive frames.
class MessageHandler {
  public:
    virtual ~MessageHandler() = default;
    virtual void handleMessageReceived(const Message& message) = 0;
    // Asked on a connection thread before a body of `length` bytes is read.
    // False holds reading back until the handler calls
    // Messenger::resumeReading(); true commits the handler to expect either
    // that body or cancelFrame(length).
    virtual bool reserveFrame(std::uint32_t length) {
        (void)length;
        return true;
    }
    // A reserved body will not arrive (the connection ended part way).
    virtual void cancelFrame(std::uint32_t length) { (void)length; }
};

}  // namespace Ostra
