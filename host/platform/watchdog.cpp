#include "watchdog.h"

#include "host_platform.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace watchdog {

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds since the clock's epoch at which the armed call runs out,
// or 0 when nothing is armed. The watching thread only reads these.
std::atomic<long long> g_deadline_ms{0};
char g_message[512];

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

void Watch() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const long long deadline = g_deadline_ms.load();
        if (deadline != 0 && NowMs() > deadline) {
            std::fprintf(stderr, "%s\n", g_message);
            std::fflush(stderr);
            host_platform::ReleaseHeldKeys();
            std::_Exit(3);
        }
    }
}

void StartOnce() {
    static std::atomic<bool> started{false};
    if (started.exchange(true)) return;
    // Never joined: it sleeps until the process ends.
    std::thread(Watch).detach();
}

}  // namespace

void Arm(const std::string& message, int seconds) {
    StartOnce();
    g_deadline_ms.store(0);
    std::snprintf(g_message, sizeof g_message, "%s", message.c_str());
    g_deadline_ms.store(NowMs() + static_cast<long long>(seconds) * 1000);
}

void Disarm() { g_deadline_ms.store(0); }

}  // namespace watchdog
