// Starting and stopping a program of ours (OpenOCD), on the operating
// system's side: its standard output and error on one pipe, in a process
// group (POSIX) or job (Windows) of its own, so that the operator's Ctrl-C
// reaches us and we stop it in order, and it ends with us.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vr::os {

struct Child {
    intptr_t pid = -1;  // the process id and group (POSIX), or its handle (Windows)
    intptr_t out = -1;  // our end of its output
};

// The program found as named, or on PATH (Windows: also with .exe); "" when
// nowhere.
std::string find_program(const std::string& name);

// The folder this program runs from.
std::string own_folder();

// Whether a file exists and can be read.
bool readable(const std::string& path);

// Starts args[0] (a path) with the rest as its arguments; false with the
// reason when it cannot be started.
bool child_start(const std::vector<std::string>& args, Child& child, std::string& error);

// One line of its output, without its end. False at the end of its output,
// or when deadline (now_seconds(); 0 for none) passes first: late is then set.
bool child_line(Child& child, std::string& line, double deadline, bool& late);

// Closes our end of its output.
void child_close_output(Child& child);

// Stops it (when started) and waits: a request to end, then after at most
// 5 s it and whatever it started are killed.
void child_stop(Child& child);

// The calling thread leaves the operator's Ctrl-C, SIGTERM and SIGHUP to
// the others (a thread that only reads a child's output).
void leave_interrupts_to_others();

}  // namespace vr::os
