#include "app/serial_queue.h"

#include <QMetaObject>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace nimbrel {

// Why a detached thread is safe here: the thread touches nothing but this state, which it
// shares, and the values its jobs captured. Whatever it hands to the main thread goes through
// post(), which holds the lock while it queues the task on the receiver; the destructor clears
// the receiver under the same lock before the receiver itself is destroyed. So a job that
// outlives the queue (pm2 hanging at quit) can never reach a receiver, or an application, that
// is being torn down, and quitting never waits for it.
struct SerialQueue::State
{
    std::mutex lock;
    std::condition_variable wake;
    std::deque<std::function<void(const Post &)>> jobs;
    QObject *receiver = nullptr;
    bool stopping = false;

    void post(std::function<void()> task)
    {
        std::lock_guard guard(lock);
        if (receiver != nullptr)
            QMetaObject::invokeMethod(receiver, std::move(task), Qt::QueuedConnection);
    }
};

SerialQueue::SerialQueue(const char *name, QObject *receiver) : state_(std::make_shared<State>())
{
    state_->receiver = receiver;
    std::thread worker([state = state_] {
        const Post post = [state](std::function<void()> task) { state->post(std::move(task)); };
        for (;;) {
            std::function<void(const Post &)> job;
            {
                std::unique_lock guard(state->lock);
                state->wake.wait(guard, [&] { return state->stopping || !state->jobs.empty(); });
                if (state->stopping)
                    return;
                job = std::move(state->jobs.front());
                state->jobs.pop_front();
            }
            job(post);
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
        state_->receiver = nullptr;
        state_->jobs.clear();
    }
    state_->wake.notify_all();
}

void SerialQueue::submit(std::function<void(const Post &)> job)
{
    {
        std::lock_guard guard(state_->lock);
        state_->jobs.push_back(std::move(job));
    }
    state_->wake.notify_one();
}

} // namespace nimbrel
