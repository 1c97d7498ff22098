#include "platform/interrupt.h"

#include <csignal>

#include <atomic>

namespace plat {
namespace {

std::atomic<bool> interrupted {false};
std::atomic<void (*)(void*)> stopFunction {nullptr};
std::atomic<void*> stopContext {nullptr};
struct sigaction previousInt, previousTerm;

// Runs on the program's one thread, between two of its steps: SetStop clears
// the function before its context, so a handler never sees a stale pair.
void OnSignal(int) {
    interrupted = true;
    if (auto stop = stopFunction.load()) stop(stopContext.load());
}

}  // namespace

InterruptWatch::InterruptWatch() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    // Restarted where the call allows it; a wait on the network (poll) returns at once all the same.
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, &previousInt);
    ::sigaction(SIGTERM, &action, &previousTerm);
}

InterruptWatch::~InterruptWatch() {
    SetStop(nullptr, nullptr);
    ::sigaction(SIGINT, &previousInt, nullptr);
    ::sigaction(SIGTERM, &previousTerm, nullptr);
}

bool InterruptWatch::Interrupted() const { return interrupted.load(); }

void InterruptWatch::SetStop(void (*stop)(void*), void* context) {
    stopFunction = nullptr;
    stopContext = context;
    stopFunction = stop;
}

}  // namespace plat
