// A serial background queue: one named worker thread runs the submitted jobs one after another.
#pragma once

#include <functional>
#include <memory>

namespace nimbrel {

class SerialQueue
{
public:
    // `name` names the thread (at most 15 characters show in ps and debuggers).
    explicit SerialQueue(const char *name);
    // Jobs not yet started are dropped. A running job (a command can take a minute) finishes
    // on its own thread: nobody waits for it.
    ~SerialQueue();
    SerialQueue(const SerialQueue &) = delete;
    SerialQueue &operator=(const SerialQueue &) = delete;

    void submit(std::function<void()> job);

private:
    struct State;
    std::shared_ptr<State> state_;
};

// Runs `task` on the main thread, after every task posted before it. Dropped when the
// application object is already gone.
void postToMainThread(std::function<void()> task);

} // namespace nimbrel
