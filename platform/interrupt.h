// Ctrl+C and Ctrl+Break, the console's control events (SetConsoleCtrlHandler);
// on the stand-in SIGINT and SIGTERM, which stand for them.
#pragma once

namespace plat {

// While an object lives, those events no longer end the process at once:
// each is noted (Interrupted) and calls the stop function last given
// (SetStop), so that a call blocked on the network returns and the program
// ends in its own way.
class InterruptWatch {
public:
    InterruptWatch();
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    bool Interrupted() const;
    // `stop(context)` runs on the console's control thread (Windows) or in the
    // signal handler (the stand-in), so it does only what is safe there. Null:
    // none. When SetStop returns, no call of the previous function is running
    // or will start.
    void SetStop(void (*stop)(void*), void* context);
};

}  // namespace plat
