// The run state and the two sequences of run control.
#pragma once

#include <cstdint>

#include "common/text.hpp"
#include "fusemap/fusemap.hpp"

namespace vr {

struct RunState {
    int32_t action = 0;     // 1, 2 write; 3 read; 4 verify
    MsgBuf status_buf{};    // current step text, failure text, final text
    MsgBuf command_buf{};   // identification command and reply, release
    FileName file_name{};
    int32_t status = 0;
    int32_t code = 0;       // device type code
    FuseMap expected{};
    FuseMap readback{};
    Counts counts{};
};

// The one run of this process.
extern RunState run;

// The whole program: start-up, action and file selection, the action, the
// end sequence. Returns when the process should end.
void main_sequence();

// Carries out the chosen action; the status buffer then holds the final text.
void action_sequence(int32_t action, const FileName& name);

}  // namespace vr
