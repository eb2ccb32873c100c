// A serial background queue: one named worker thread runs the submitted jobs one after another,
// and a job hands its results back to the main thread through the queue.
#pragma once

#include <QObject>

#include <functional>
#include <memory>

namespace nimbrel {

class SerialQueue
{
public:
    // Hands a task to the main thread, to run there after every task handed over before it.
    using Post = std::function<void(std::function<void()> task)>;

    // `name` names the thread (at most 15 characters show in ps and debuggers). Tasks run in
    // the thread of `receiver`, and only while the queue exists.
    SerialQueue(const char *name, QObject *receiver);
    // Jobs not yet started are dropped, and from now on no job can post anything: a running job
    // (a command can take a minute) finishes on its own thread, and nobody waits for it.
    ~SerialQueue();
    SerialQueue(const SerialQueue &) = delete;
    SerialQueue &operator=(const SerialQueue &) = delete;

    void submit(std::function<void(const Post &post)> job);

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace nimbrel
