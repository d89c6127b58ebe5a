#pragma once

#include <atomic>
#include <boost/thread/mutex.hpp>
#include <cstddef>

// Plug-in libraries the decoding library loads at start-up, in order.
extern const char* const PLUGINS[];
extern const size_t PLUGINS_COUNT;
// Extensions accepted for decoding: lower case, with the dot, in table order.
extern const char* const BASSEXTENSIONS[];
extern const size_t BASSEXTENSIONS_COUNT;

// Process-wide set-up of the decoding library. The one instance is built at
// program load; Init runs once at start-up on the main thread and the
// destructor frees the library at exit, both under m_mutex. IsInited may be
// read from any thread.
class BASSSingleton {
  public:
    static BASSSingleton& Instance() { return m_inst; }
    virtual ~BASSSingleton();

    bool Init();
    bool IsInited() const { return m_inited.load(); }

  private:
    BASSSingleton() = default;
    BASSSingleton(const BASSSingleton&) = delete;
    BASSSingleton& operator=(const BASSSingleton&) = delete;

    static BASSSingleton m_inst;
    boost::mutex m_mutex;
    std::atomic<bool> m_inited{false};
};
