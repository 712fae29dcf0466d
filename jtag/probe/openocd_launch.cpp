#include "jtag/probe/openocd_launch.hpp"

#include <cstring>

#include "os/clock.hpp"
#include "jtag/probe/profiles.hpp"

namespace vr::jtag {
namespace {

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

}  // namespace

std::vector<std::string> openocd_drivers() {
    std::vector<std::string> drivers;
    const std::string exe = os::find_program(openocd_program());
    os::Child child;
    std::string error, line;
    if (exe.empty() || !os::child_start({exe, "-c", "adapter list", "-c", "shutdown"}, child, error)) return drivers;
    bool late = false;
    while (os::child_line(child, line, os::now_seconds() + start_deadline_s, late)) {
        // "3: ftdi"
        char number[16], name[64];
        if (std::sscanf(line.c_str(), "%15s %63s", number, name) == 2 && number[0] &&
            number[std::strlen(number) - 1] == ':')
            drivers.push_back(name);
    }
    os::child_close_output(child);
    os::child_stop(child);
    return drivers;
}

std::string openocd_file(const std::string& relative) {
    // Debian's scripts; a build's beside its program (bin/../share, or a
    // Windows zip's scripts folder).
    const std::string exe = os::find_program(openocd_program());
    std::vector<std::string> dirs = {"/usr/share/openocd/scripts/", "/usr/local/share/openocd/scripts/"};
    if (!exe.empty()) {
        dirs.push_back(folder_of(exe) + "/../share/openocd/scripts/");
        dirs.push_back(folder_of(exe) + "/scripts/");
    }
    for (const std::string& dir : dirs)
        if (os::readable(dir + relative)) return dir + relative;
    return "";
}

std::string tap_config() {
    const std::string dir = os::own_folder();
    for (const std::string& p : {dir + "/atf15xx.cfg", dir + "/../share/vrjtag/openocd/atf15xx.cfg"})
        if (os::readable(p)) return p;
    return {};
}

bool start_openocd(const std::vector<std::string>& probes, long khz, const std::string& tap_name, std::FILE* log,
                   double t0, OpenocdProcess& p, std::string& error) {
    const std::string tap = tap_config();
    if (tap.empty()) return error = "the TAP declaration atf15xx.cfg is missing", false;
    const std::string exe = os::find_program(openocd_program());
    if (exe.empty())
        return error = "openocd did not start: " + openocd_program() + " was not found (put it on PATH, or --openocd-exe)",
               false;
    std::vector<std::string> args = {exe};
    const std::vector<std::string> rest = openocd_arguments(probes, khz, tap_name, tap);
    args.insert(args.end(), rest.begin(), rest.end());
    std::string why;
    if (!os::child_start(args, p.child, why)) return error = "openocd did not start: " + why, false;
    // Its output line by line until the Tcl port is named, within the
    // deadline: an OpenOCD stuck on its probe says nothing and never listens.
    const double deadline = os::now_seconds() + start_deadline_s;
    bool late = false;
    std::string line, tail, errors;
    p.port.clear();
    while (p.port.empty() && os::child_line(p.child, line, deadline, late)) {
        if (log) std::fprintf(log, "%.6f openocd: %s\n", os::now_seconds() - t0, line.c_str()), std::fflush(log);
        tail = line + "\n";
        if (line.rfind("Error: ", 0) == 0) errors += line + "\n";  // its reasons, said first
        unsigned port = 0;
        if (std::sscanf(line.c_str(), "Info : Listening on port %u for tcl connections", &port) == 1)
            p.port = std::to_string(port);
    }
    if (p.port.empty()) {
        const std::string said = errors.empty() ? tail : errors;
        error = late ? "openocd did not start within " + std::to_string(start_deadline_s) + " s"
                     : std::string("openocd did not start");
        if (!said.empty()) error += (late ? "; it printed: " : ": ") + said;
        while (!error.empty() && (error.back() == '\n' || error.back() == '\r')) error.pop_back();
        os::child_close_output(p.child);
        return false;
    }
    p.output = std::thread([&child = p.child, log, t0] {
        os::leave_interrupts_to_others();
        std::string l;
        bool never = false;
        while (os::child_line(child, l, 0, never))
            if (log) std::fprintf(log, "%.6f openocd: %s\n", os::now_seconds() - t0, l.c_str()), std::fflush(log);
    });
    return true;
}

void stop_openocd(OpenocdProcess& p) {
    os::child_stop(p.child);
    if (p.output.joinable()) p.output.join();
    os::child_close_output(p.child);
}

}  // namespace vr::jtag
