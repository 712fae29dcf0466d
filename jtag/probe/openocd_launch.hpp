// Starting OpenOCD for one run: the probe's configuration, the chip's TAP
// declaration, a JTAG clock, and its Tcl server on a free port of 127.0.0.1
// only. It runs as a child of ours (os/process.hpp: a process group or job
// of its own, ended with us, stopped with bounded waits).
#pragma once

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "os/process.hpp"

namespace vr::jtag {

struct OpenocdProcess {
    os::Child child;
    std::string port;    // its Tcl port
    std::thread output;  // copies its output to the log, so it never blocks
};

// The OpenOCD program run: "openocd" from PATH unless another is named.
void set_openocd_program(const std::string& path);
const std::string& openocd_program();

// The TAP declaration atf15xx.cfg: next to the program in the build tree,
// or in the package's data folder; "" when missing.
std::string tap_config();

// Short probe names become their profile's interface file, and khz (when 0)
// its clock; false with the reason when this OpenOCD cannot drive the probe.
// khz ends up between 1 and 10000 (the chips' highest clock); a faster
// request is capped and said in note.
bool resolve_probes(std::vector<std::string>& probes, long& khz, std::string& error, std::string& note);

// OpenOCD's arguments after the program: the probe's configuration files,
// the clock, the chip's TAP declaration (atf15xx.cfg at tap_file, loaded
// only when the configuration has not declared a TAP named tap itself) and
// the Tcl server on a free port of 127.0.0.1.
std::vector<std::string> openocd_arguments(const std::vector<std::string>& probes, long khz, const std::string& tap,
                                           const std::string& tap_file);

// How long OpenOCD may take to open its Tcl server.
constexpr int start_deadline_s = 30;

// Starts openocd; false with its own reason ("Error:" lines first) when it
// does not come up, or within start_deadline_s, with what it printed. Its output goes to log (may be null), time-stamped from t0.
bool start_openocd(const std::vector<std::string>& probes, long khz, const std::string& tap, std::FILE* log, double t0,
                   OpenocdProcess& p, std::string& error);

// Stops it (when started) and waits, at most a few seconds.
void stop_openocd(OpenocdProcess& p);

}  // namespace vr::jtag
