#include "control/probe_route.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string_view>

#include "jtag/chip/texts.hpp"
#include "jtag/probe/nano_probe.hpp"
#include "jtag/probe/openocd_launch.hpp"
#include "jtag/probe/profiles.hpp"
#include "jtag/probe/rbb_probe.hpp"
#include "os/clock.hpp"

namespace vr {
namespace {

bool starts(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

bool host_port(const std::string& s) {
    const std::size_t colon = s.rfind(':');
    return colon != std::string::npos && colon != 0 && colon + 1 < s.size();
}

// The line without its CR and surrounding blanks.
std::string trimmed(std::string line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
    std::size_t b = 0;
    while (b < line.size() && (line[b] == ' ' || line[b] == '\t')) ++b;
    return line.substr(b);
}

// OpenOCD started for the run (route.probes) or already running.
int on_openocd(const ProbeRoute& route, const ProbeBody& body, const std::function<void(const std::string&)>& say) {
    std::FILE* log = route.logname.empty() ? std::tmpfile() : std::fopen(route.logname.c_str(), "w");
    if (!log && !route.logname.empty()) return say(route.logname + ": " + std::strerror(errno)), 1;
    const double t0 = os::now_seconds();
    std::string host = "127.0.0.1", port, error, note;
    std::vector<std::string> probes = route.probes;
    long khz = route.khz;
    jtag::OpenocdProcess process;
    auto finish = [&](int status) {
        jtag::stop_openocd(process);
        // OpenOCD's own complaints matter when the run failed.
        if (status != 0 && log && route.logname.empty()) {
            std::rewind(log);
            char line[1024];
            while (std::fgets(line, sizeof line, log))
                if (const char* at = std::strstr(line, "openocd: Error")) {
                    std::string text = at;
                    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
                    say(text);
                }
        }
        if (log) std::fclose(log);
        return status;
    };
    if (!route.openocd_exe.empty()) jtag::set_openocd_program(route.openocd_exe);
    if (!probes.empty()) {
        if (!jtag::resolve_probes(probes, khz, error, note)) return say(error), finish(1);
        if (!note.empty()) say(note);
        if (!jtag::start_openocd(probes, khz, route.tap, log, t0, process, error)) return say(error), finish(1);
        port = process.port;
    } else {
        const std::size_t colon = route.openocd.rfind(':');
        host = route.openocd.substr(0, colon);
        port = route.openocd.substr(colon + 1);
    }
    jtag::OpenocdProbe probe(host, port, route.tap);
    probe.set_log(log, t0);
    // An OpenOCD of our own that died is started once more, so that the run
    // can take the chip out of programming mode.
    if (!probes.empty())
        probe.set_relaunch([&](std::string& new_port, std::string& why) {
            jtag::stop_openocd(process);
            if (!jtag::start_openocd(probes, khz, route.tap, log, t0, process, why)) return false;
            new_port = process.port;
            return true;
        });
    return finish(body(probe, probe, &probe));
}

}  // namespace

bool route_from_config(const std::vector<std::string>& lines, ProbeRoute& route, std::string& why) {
    if (lines.empty() || !starts(trimmed(lines[0]), "probe=")) return false;
    route = ProbeRoute();
    const std::string named = trimmed(lines[0]).substr(6);
    if (starts(named, "nano:")) {
        route.nano = named.substr(5);
    } else if (starts(named, "remote_bitbang:")) {
        route.rbb = named.substr(15);
        if (!host_port(route.rbb)) why = "probe=remote_bitbang: needs HOST:PORT";
    } else if (starts(named, "openocd:")) {
        route.openocd = named.substr(8);
        if (!host_port(route.openocd)) why = "probe=openocd: needs HOST:PORT";
    } else if (!named.empty()) {
        route.probes.push_back(named);
    }
    if (named.empty()) why = "probe= names no probe";
    if (starts(named, "nano:") && route.nano.empty()) why = "probe=nano: needs the Nano's port";
    for (std::size_t i = 1; i < lines.size() && why.empty(); ++i) {
        const std::string line = trimmed(lines[i]);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (starts(line, "device=")) {
            route.device = line.substr(7);
            if (jtag::chip_kind_named(route.device) < 0) why = "unknown device " + route.device;
        } else if (starts(line, "speed=")) {
            char* end = nullptr;
            const long khz = std::strtol(line.c_str() + 6, &end, 10);
            if (end == line.c_str() + 6 || *end || khz < 1 || khz > 1000000) why = "speed= needs a number of kHz";
            else route.khz = khz;
        } else if (starts(line, "openocd=")) {
            route.openocd_exe = line.substr(8);
        } else {
            why = "jtag.ini: unknown line \"" + line + "\"";
        }
    }
    return true;
}

int on_probe(const ProbeRoute& route, const ProbeBody& body, const std::function<void(const std::string&)>& say) {
    if (!route.nano.empty()) {
        std::FILE* log = route.logname.empty() ? nullptr : std::fopen(route.logname.c_str(), "w");
        if (!log && !route.logname.empty()) return say(route.logname + ": " + std::strerror(errno)), 1;
        jtag::NanoProbe probe;
        probe.set_log(log, os::now_seconds());
        std::string error;
        int status = 1;
        if (!probe.open(route.nano.c_str(), static_cast<int>(route.boot_wait >= 0 ? route.boot_wait : 2000), error))
            say(error);
        else
            status = body(probe, probe, nullptr);
        probe.close();
        if (log) std::fclose(log);
        return status;
    }
    if (!route.rbb.empty()) {
        jtag::RbbProbe probe;
        std::string error;
        if (!probe.open(route.rbb, error)) return say(error), 1;
        const int status = body(probe, probe, nullptr);
        probe.close();
        return status;
    }
    return on_openocd(route, body, say);
}

bool route_may_switch_vpp(const ProbeRoute& route) {
    if (!route.nano.empty() || !route.rbb.empty() || !route.openocd.empty()) return true;
    for (const std::string& p : route.probes) {
        if (const jtag::ProbeProfile* profile = jtag::find_profile(p)) {
            if (std::string_view(profile->commands).find("vrjtag_vpp") != std::string_view::npos) return true;
            continue;
        }
        std::ifstream file(p, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (text.find("vrjtag_vpp") != std::string::npos) return true;
    }
    return false;
}

}  // namespace vr
