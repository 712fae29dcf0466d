#include <windows.h>

#include <cstring>

#include "jtag/probe/openocd_launch.hpp"
#include "jtag/probe/profiles.hpp"
#include "common/clock.hpp"

namespace vr {
namespace {

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// openocd.exe as named, or found on PATH; "" when nowhere.
std::string program_path() {
    const std::string& p = jtag::openocd_program();
    char found[MAX_PATH];
    if (SearchPathA(nullptr, p.c_str(), ".exe", sizeof found, found, nullptr) > 0) return found;
    return GetFileAttributesA(p.c_str()) != INVALID_FILE_ATTRIBUTES ? p : std::string();
}

// One argument quoted for CommandLineToArgv's rules.
std::string quoted(const std::string& a) {
    std::string q = "\"";
    std::size_t slashes = 0;
    for (char c : a) {
        if (c == '\\') {
            ++slashes;
            continue;
        }
        q.append(c == '"' ? 2 * slashes + 1 : slashes, '\\');
        slashes = 0;
        q += c;
    }
    q.append(2 * slashes, '\\');
    return q + "\"";
}

// Runs the program with args; its standard output and error come out of
// *out. The process is put in a job that ends with ours.
bool spawn(const std::vector<std::string>& args, HANDLE job, PROCESS_INFORMATION& pi, HANDLE* out) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &sa, 0)) return false;
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    std::string line;
    for (const std::string& a : args) line += (line.empty() ? "" : " ") + quoted(a);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = write_end;
    si.hStdError = write_end;
    // Its own process group: the console's Ctrl-C reaches us only.
    const BOOL ok = CreateProcessA(args[0].c_str(), line.data(), nullptr, nullptr, TRUE,
                                   CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED, nullptr, nullptr, &si, &pi);
    CloseHandle(write_end);
    if (!ok) {
        CloseHandle(read_end);
        return false;
    }
    AssignProcessToJobObject(job, pi.hProcess);
    ResumeThread(pi.hThread);
    *out = read_end;
    return true;
}

// Reads one line (without its end) from a pipe; false at its end.
bool read_line(HANDLE h, std::string& line) {
    line.clear();
    char c;
    DWORD n = 0;
    while (ReadFile(h, &c, 1, &n, nullptr) && n == 1) {
        if (c == '\n') return true;
        if (c != '\r') line += c;
    }
    return !line.empty();
}

// As read_line, but gives up when `deadline` (now_seconds()) passes with no
// whole line: late is then set.
bool read_line_by(HANDLE h, std::string& line, double deadline, bool& late) {
    line.clear();
    for (;;) {
        DWORD avail = 0;
        if (!PeekNamedPipe(h, nullptr, 0, nullptr, &avail, nullptr)) return !line.empty();
        if (avail == 0) {
            if (now_seconds() >= deadline) return late = true, false;
            Sleep(10);
            continue;
        }
        char c;
        DWORD n = 0;
        if (!ReadFile(h, &c, 1, &n, nullptr) || n != 1) return !line.empty();
        if (c == '\n') return true;
        if (c != '\r') line += c;
    }
}

HANDLE job_of_ours() {
    static HANDLE job = [] {
        HANDLE j = CreateJobObjectA(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(j, JobObjectExtendedLimitInformation, &limits, sizeof limits);
        return j;
    }();
    return job;
}

}  // namespace

namespace jtag {

std::vector<std::string> openocd_drivers() {
    std::vector<std::string> drivers;
    const std::string exe = program_path();
    if (exe.empty()) return drivers;
    PROCESS_INFORMATION pi{};
    HANDLE out = nullptr;
    if (!spawn({exe, "-c", "adapter list", "-c", "shutdown"}, job_of_ours(), pi, &out)) return drivers;
    for (std::string line; read_line(out, line);) {
        char number[16], name[64];
        if (std::sscanf(line.c_str(), "%15s %63s", number, name) == 2 && number[0] &&
            number[std::strlen(number) - 1] == ':')
            drivers.push_back(name);
    }
    CloseHandle(out);
    WaitForSingleObject(pi.hProcess, 5000);
    CloseHandle(pi.hProcess), CloseHandle(pi.hThread);
    return drivers;
}

std::string openocd_file(const std::string& relative) {
    // The Windows builds of OpenOCD keep their scripts beside bin\: share\openocd\scripts.
    const std::string exe = program_path();
    if (exe.empty()) return "";
    for (const std::string& dir : {folder_of(exe) + "\\..\\share\\openocd\\scripts\\", folder_of(exe) + "\\scripts\\"}) {
        const std::string path = dir + relative;
        if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) return path;
    }
    return "";
}

}  // namespace jtag

namespace jtag {

std::string tap_config() {
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    const std::string dir = folder_of(std::string(self, n));
    for (const std::string& p : {dir + "\\atf15xx.cfg", dir + "\\..\\share\\vrjtag\\openocd\\atf15xx.cfg"})
        if (GetFileAttributesA(p.c_str()) != INVALID_FILE_ATTRIBUTES) return p;
    return {};
}

bool start_openocd(const std::vector<std::string>& probes, long khz, const std::string& tap_name, std::FILE* log,
                   double t0, OpenocdProcess& p, std::string& error) {
    const std::string tap = tap_config();
    if (tap.empty()) return error = "the TAP declaration atf15xx.cfg is missing", false;
    const std::string exe = program_path();
    if (exe.empty()) return error = "openocd did not start: " + openocd_program() + " was not found (put it on PATH, or --openocd-exe)", false;
    std::vector<std::string> args = {exe};
    const std::vector<std::string> rest = openocd_arguments(probes, khz, tap_name, tap);
    args.insert(args.end(), rest.begin(), rest.end());
    PROCESS_INFORMATION pi{};
    HANDLE out = nullptr;
    if (!spawn(args, job_of_ours(), pi, &out)) return error = "openocd did not start: cannot run " + exe, false;
    CloseHandle(pi.hThread);
    p.pid = reinterpret_cast<intptr_t>(pi.hProcess);
    std::string line, tail, errors;
    p.port.clear();
    // An OpenOCD stuck on its probe says nothing and never listens.
    const double deadline = now_seconds() + start_deadline_s;
    bool late = false;
    while (p.port.empty() && read_line_by(out, line, deadline, late)) {
        if (log) std::fprintf(log, "%.6f openocd: %s\n", now_seconds() - t0, line.c_str()), std::fflush(log);
        tail = line;
        if (line.rfind("Error: ", 0) == 0) errors += line + "\n";
        unsigned port = 0;
        if (std::sscanf(line.c_str(), "Info : Listening on port %u for tcl connections", &port) == 1)
            p.port = std::to_string(port);
    }
    if (p.port.empty()) {
        const std::string why = errors.empty() ? tail : errors;
        error = late ? "openocd did not start within " + std::to_string(start_deadline_s) + " s"
                     : std::string("openocd did not start");
        if (!why.empty()) error += (late ? "; it printed: " : ": ") + why;
        while (!error.empty() && error.back() == '\n') error.pop_back();
        CloseHandle(out);
        return false;
    }
    p.output = std::thread([out, log, t0] {
        std::string l;
        while (read_line(out, l))
            if (log) std::fprintf(log, "%.6f openocd: %s\n", now_seconds() - t0, l.c_str()), std::fflush(log);
        CloseHandle(out);
    });
    return true;
}

void stop_openocd(OpenocdProcess& p) {
    if (p.pid != -1) {
        const HANDLE process = reinterpret_cast<HANDLE>(p.pid);
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 5000);
        CloseHandle(process);
        p.pid = -1;
    }
    if (p.output.joinable()) p.output.join();
}

}  // namespace jtag
}  // namespace vr
