// One wake of one app, on a thread of its own: starts the app, waits until it listens again, then
// copies bytes both ways between each held client and a new connection to the app's own port on
// loopback, until each side has closed.
#pragma once

#include "app/wake/port_hold.h"

#include <QString>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

namespace nimbrel::wake {

class WakeRelay
{
public:
    // Every hook runs on the relay's thread.
    struct Hooks
    {
        std::function<bool()> start;                      // starts the app; false: it failed
        std::function<QList<ListenAddress>()> appListens; // what the app's own tree listens on
        std::function<void(bool listening)> woke = [](bool) {}; // once: the app listens, or not
        std::function<void()> ended = [] {};                    // the last thing the thread does
    };
    static constexpr std::chrono::milliseconds lookInterval{50};
    static constexpr std::chrono::milliseconds listenLimit{60'000};

    WakeRelay(std::vector<HeldConnection> connections, Hooks hooks,
              std::chrono::milliseconds limit = listenLimit);
    // Closes every connection still open and waits for the thread.
    ~WakeRelay();
    WakeRelay(const WakeRelay &) = delete;
    WakeRelay &operator=(const WakeRelay &) = delete;

    // The answer of a client whose request reached no app: a short page, the connection closed.
    static QByteArray unavailablePage();

private:
    void run(std::vector<HeldConnection> connections, std::chrono::milliseconds limit);

    Hooks hooks_;
    int stop_ = -1; // an eventfd: written once to end the thread
    std::thread thread_;
};

} // namespace nimbrel::wake
