#include <windows.h>

#include "os/clock.hpp"
#include "os/process.hpp"

namespace vr::os {
namespace {

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

// The job our children run in: it ends them when we end.
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

std::string find_program(const std::string& name) {
    char found[MAX_PATH];
    if (SearchPathA(nullptr, name.c_str(), ".exe", sizeof found, found, nullptr) > 0) return found;
    return GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES ? name : std::string();
}

std::string own_folder() {
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    const std::string path(self, n);
    const std::size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool readable(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool child_start(const std::vector<std::string>& args, Child& child, std::string& error) {
    if (args.empty()) return error = "nothing to start", false;
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &sa, 0)) return error = "pipe failed", false;
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    std::string line;
    for (const std::string& a : args) line += (line.empty() ? "" : " ") + quoted(a);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = write_end;
    si.hStdError = write_end;
    PROCESS_INFORMATION pi{};
    // Its own process group: the console's Ctrl-C reaches us only.
    const BOOL ok = CreateProcessA(args[0].c_str(), line.data(), nullptr, nullptr, TRUE,
                                   CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED, nullptr, nullptr, &si, &pi);
    CloseHandle(write_end);
    if (!ok) {
        CloseHandle(read_end);
        return error = "cannot run " + args[0], false;
    }
    AssignProcessToJobObject(job_of_ours(), pi.hProcess);
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);
    child.pid = reinterpret_cast<intptr_t>(pi.hProcess);
    child.out = reinterpret_cast<intptr_t>(read_end);
    return true;
}

bool child_line(Child& child, std::string& line, double deadline, bool& late) {
    line.clear();
    if (child.out == -1) return false;
    const HANDLE h = reinterpret_cast<HANDLE>(child.out);
    for (;;) {
        if (deadline > 0) {
            DWORD avail = 0;
            if (!PeekNamedPipe(h, nullptr, 0, nullptr, &avail, nullptr)) return !line.empty();
            if (avail == 0) {
                if (now_seconds() >= deadline) return late = true, false;
                Sleep(10);
                continue;
            }
        }
        char c;
        DWORD n = 0;
        if (!ReadFile(h, &c, 1, &n, nullptr) || n != 1) return !line.empty();
        if (c == '\n') return true;
        if (c != '\r') line += c;
    }
}

void child_close_output(Child& child) {
    if (child.out != -1) CloseHandle(reinterpret_cast<HANDLE>(child.out));
    child.out = -1;
}

void child_stop(Child& child) {
    if (child.pid == -1) return;
    const HANDLE process = reinterpret_cast<HANDLE>(child.pid);
    TerminateProcess(process, 1);
    WaitForSingleObject(process, 5000);
    CloseHandle(process);
    child.pid = -1;
}

void leave_interrupts_to_others() {}

}  // namespace vr::os
