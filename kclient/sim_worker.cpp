#include "kclient/sim_worker.h"

#include <system_error>

#include "extern/kclient.h"

namespace kclient {

SimWorker& SimWorker::Instance() {
    // Never destroyed: at process exit Windows ends every other thread before a DLL's
    // static destructors run, so joining the worker there would wait forever. The thread
    // holds no resource that outlives the process.
    static SimWorker* const worker = new SimWorker;
    return *worker;
}

bool SimWorker::Submit(std::shared_ptr<plcsim::Controller> controller,
                       std::shared_ptr<plcsim::Session> session, std::weak_ptr<Channel> sink,
                       std::vector<uint8_t> request, uint32_t latencyMs) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!thread_.joinable()) {
            try {
                thread_ = std::thread(&SimWorker::Run, this);
            } catch (const std::system_error&) {
                return false;
            }
        }
        jobs_.push(Job{Clock::now() + std::chrono::milliseconds(latencyMs), nextSequence_++,
                       std::move(controller), std::move(session), std::move(sink),
                       std::move(request)});
    }
    wake_.notify_one();
    return true;
}

void SimWorker::Answer(Job& job) {
    std::shared_ptr<Channel> channel = job.sink.lock();
    if (channel == nullptr) {
        return; // closed meanwhile
    }
    plcsim::Outcome outcome =
        job.controller->Handle(*job.session, job.request.data(), job.request.size());
    switch (outcome.kind) {
    case plcsim::Outcome::Kind::Silence:
        break;
    case plcsim::Outcome::Kind::FatalError:
        channel->Deliver(Reply{COMM_FATALERROR, KCLIENT_ERR_SEND, {}});
        break;
    case plcsim::Outcome::Kind::Reply: {
        const uint32_t length = static_cast<uint32_t>(outcome.reply.size());
        channel->Deliver(Reply{COMM_MESSAGEREADY, length, std::move(outcome.reply)});
        break;
    }
    }
}

void SimWorker::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (jobs_.empty()) {
            wake_.wait(lock);
            continue;
        }
        const Clock::time_point due = jobs_.top().due;
        if (Clock::now() < due) {
            wake_.wait_until(lock, due);
            continue;
        }
        Job job = jobs_.top();
        jobs_.pop();
        lock.unlock();
        Answer(job);
        lock.lock();
    }
}

} // namespace kclient
