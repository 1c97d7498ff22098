#include "platform/interrupt.h"
#include "platform/win32/win32.h"

#include <atomic>
#include <mutex>

namespace plat {
namespace {

std::atomic<bool> interrupted {false};
// Held while the stop function runs, so that SetStop can wait for it to end
// before what it stops goes away.
std::mutex stopping;
void (*stopFunction)(void*) = nullptr;
void* stopContext = nullptr;

// Runs on a thread the system starts for the event.
BOOL WINAPI OnControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    interrupted = true;
    std::lock_guard<std::mutex> lock(stopping);
    if (stopFunction != nullptr) stopFunction(stopContext);
    return TRUE;
}

}  // namespace

InterruptWatch::InterruptWatch() { ::SetConsoleCtrlHandler(OnControl, TRUE); }

InterruptWatch::~InterruptWatch() {
    ::SetConsoleCtrlHandler(OnControl, FALSE);
    SetStop(nullptr, nullptr);
}

bool InterruptWatch::Interrupted() const { return interrupted.load(); }

void InterruptWatch::SetStop(void (*stop)(void*), void* context) {
    std::lock_guard<std::mutex> lock(stopping);
    stopFunction = stop;
    stopContext = context;
}

}  // namespace plat
