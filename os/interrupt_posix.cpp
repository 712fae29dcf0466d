#include <signal.h>

#include "os/interrupt.hpp"

namespace vr::os {
namespace {

void (*chosen)() = nullptr;
void on_signal(int) { chosen(); }

}  // namespace

void catch_interrupts(void (*handler)()) {
    chosen = handler;
    struct sigaction sa {};
    sa.sa_handler = on_signal;  // a second Ctrl-C does not kill the run before the release either
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace vr::os
