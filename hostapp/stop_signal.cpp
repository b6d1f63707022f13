#include "stop_signal.h"

#include <unistd.h>

#include <atomic>
#include <csignal>

#include "exit_codes.h"

namespace {

std::atomic<int> stopCount{0};        // signals received
std::atomic<bool> outputStop{false};  // set by requestStop

extern "C" void onStopSignal(int) {
    if (stopCount.fetch_add(1) > 0) {
        static const char kMessage[] = "\ninterrupted again: exiting at once\n";
        const ssize_t ignored = write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
        (void)ignored;
        _exit(exitcode::kInterrupted);
    }
}

}  // namespace

void installStopHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

bool stopRequested() { return stopCount.load() > 0 || outputStop.load(); }

bool interrupted() { return stopCount.load() > 0; }

void requestStop() { outputStop = true; }
