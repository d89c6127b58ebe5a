#include "hostlink/WorkerPool.h"

#include <algorithm>
#include <string>

#include "util/Trace.h"

namespace Ostra {

WorkerPool::WorkerPool() : work_(new boost::asio::io_service::work(service_)) {}

WorkerPool::~WorkerPool() {
    stop();
}

bool WorkerPool::start(unsigned long requested) {
    // An unknown processor count (0) still gets one worker.
    unsigned long cores = std::max(1u, boost::thread::hardware_concurrency());
    unsigned long count = std::min(requested, cores);
    for (unsigned long i = 0; i < count; ++i) threads_.create_thread([this] { run(); });
    return true;
}

void WorkerPool::stop() {
    service_.stop();
    threads_.interrupt_all();
    threads_.join_all();
}

// Workers block in the service rather than polling, so an idle helper does
// not wake. A serialised request whose strand is busy is queued in the strand
// and the worker returns to the service at once.
void WorkerPool::run() {
    while (!service_.stopped()) {
        try {
            service_.run();
        } catch (const boost::thread_interrupted&) {
            return;
        } catch (const std::exception& e) {
            util::writeErrorLine(std::string("Exception: ") + e.what() + "\n");
        }
    }
}

}  // namespace Ostra
