#include <windows.h>

#include "os/interrupt.hpp"

namespace vr::os {
namespace {

void (*chosen)() = nullptr;

BOOL WINAPI on_control(DWORD) {
    chosen();
    return TRUE;  // the run ends through its end sequence
}

}  // namespace

void catch_interrupts(void (*handler)()) {
    chosen = handler;
    SetConsoleCtrlHandler(on_control, TRUE);
}

}  // namespace vr::os
