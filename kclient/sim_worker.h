// The thread on which every embedded simulated controller answers.
#ifndef KSYM_KCLIENT_SIM_WORKER_H
#define KSYM_KCLIENT_SIM_WORKER_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

#include "kclient/channel.h"
#include "plcsim/controller.h"
#include "plcsim/session.h"

namespace kclient {

// Requests wait in order of their due time (send time plus the controller's latency), and
// in order of sending among equal times, so each channel's replies keep their order.
//
// Threads: Submit may be called from any thread. Controllers answer, and sessions are
// touched, only on the worker thread; a session reaches it through the queue, which the
// mutex guards, so whatever the submitting thread did to it before is seen there.
class SimWorker {
public:
    static SimWorker& Instance();

    // Queues the request of the channel whose controller state `session` holds. False when
    // the worker thread cannot be started.
    bool Submit(std::shared_ptr<plcsim::Controller> controller,
                std::shared_ptr<plcsim::Session> session, std::weak_ptr<Channel> sink,
                std::vector<uint8_t> request, uint32_t latencyMs);

private:
    using Clock = std::chrono::steady_clock;
    struct Job {
        Clock::time_point due;
        uint64_t sequence;
        std::shared_ptr<plcsim::Controller> controller;
        std::shared_ptr<plcsim::Session> session; // kept alive while the job waits
        std::weak_ptr<Channel> sink;
        std::vector<uint8_t> request;
    };
    struct Later {
        bool operator()(const Job& a, const Job& b) const {
            return a.due != b.due ? a.due > b.due : a.sequence > b.sequence;
        }
    };

    SimWorker() = default;
    void Run();
    static void Answer(Job& job);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::priority_queue<Job, std::vector<Job>, Later> jobs_;
    uint64_t nextSequence_ = 0;
    std::thread thread_; // started with the first request
};

} // namespace kclient

#endif
