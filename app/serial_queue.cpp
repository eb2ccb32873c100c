#include "app/serial_queue.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace nimbrel {

struct SerialQueue::State
{
    std::mutex lock;
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs;
    bool stopping = false;
};

SerialQueue::SerialQueue(const char *name) : state_(std::make_shared<State>())
{
    std::thread worker([state = state_] {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock guard(state->lock);
                state->wake.wait(guard, [&] { return state->stopping || !state->jobs.empty(); });
                if (state->stopping)
                    return;
                job = std::move(state->jobs.front());
                state->jobs.pop_front();
            }
            job();
        }
    });
    pthread_setname_np(worker.native_handle(), name);
    worker.detach();
}

SerialQueue::~SerialQueue()
{
    {
        std::lock_guard guard(state_->lock);
        state_->stopping = true;
        state_->jobs.clear();
    }
    state_->wake.notify_all();
}

void SerialQueue::submit(std::function<void()> job)
{
    {
        std::lock_guard guard(state_->lock);
        state_->jobs.push_back(std::move(job));
    }
    state_->wake.notify_one();
}

void postToMainThread(std::function<void()> task)
{
    if (QCoreApplication *application = QCoreApplication::instance())
        QMetaObject::invokeMethod(application, std::move(task), Qt::QueuedConnection);
}

} // namespace nimbrel
