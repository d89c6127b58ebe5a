#pragma once

#include <boost/asio.hpp>
#include <boost/thread.hpp>
#include <memory>

namespace Ostra {

// Worker threads blocking in one io_service. start/stop are called from the
// main thread only; service() is used from any thread to post work.
class WorkerPool {
  public:
    WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;
    ~WorkerPool();

    // Starts min(requested, processor count) workers, at least one.
    bool start(unsigned long requested);
    // Stops the service (queued work is discarded), interrupts and joins the workers.
    void stop();
    boost::asio::io_service& service() { return service_; }

  private:
    void run();

    boost::asio::io_service service_;
    std::unique_ptr<boost::asio::io_service::work> work_;
    boost::thread_group threads_;
};

}  // namespace Ostra
