#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "jtag/probe/openocd_launch.hpp"
#include "jtag/probe/profiles.hpp"
#include "common/clock.hpp"

namespace vr {
namespace jtag {

std::vector<std::string> openocd_drivers() {
    std::vector<std::string> drivers;
    std::FILE* out = popen(("'" + jtag::openocd_program() + "' -c 'adapter list' -c shutdown 2>&1").c_str(), "r");
    if (!out) return drivers;
    char line[256];
    while (std::fgets(line, sizeof line, out)) {
        // "3: ftdi"
        char number[16], name[64];
        if (std::sscanf(line, "%15s %63s", number, name) == 2 && number[0] && number[std::strlen(number) - 1] == ':')
            drivers.push_back(name);
    }
    pclose(out);
    return drivers;
}

std::string openocd_file(const std::string& relative) {
    for (const char* dir : {"/usr/share/openocd/scripts/", "/usr/local/share/openocd/scripts/"}) {
        const std::string path = dir + relative;
        if (access(path.c_str(), R_OK) == 0) return path;
    }
    return "";
}

}  // namespace jtag

namespace jtag {

std::string tap_config() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string();
    dir = dir.substr(0, dir.rfind('/'));
    for (const std::string& p : {dir + "/atf15xx.cfg", dir + "/../share/vrjtag/openocd/atf15xx.cfg"})
        if (access(p.c_str(), R_OK) == 0) return p;
    return {};
}

bool start_openocd(const std::vector<std::string>& probes, long khz, const std::string& tap_name, std::FILE* log,
                   double t0, OpenocdProcess& p, std::string& error) {
    const std::string tap = tap_config();
    if (tap.empty()) return error = "the TAP declaration atf15xx.cfg is missing", false;
    std::vector<std::string> args = {openocd_program()};
    const std::vector<std::string> rest = openocd_arguments(probes, khz, tap_name, tap);
    args.insert(args.end(), rest.begin(), rest.end());
    int out[2];
    if (pipe(out) != 0) return error = "pipe failed", false;
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        close(out[0]), close(out[1]);
        return error = "cannot start openocd", false;
    }
    if (pid == 0) {
        dup2(out[1], 1), dup2(out[1], 2), close(out[0]), close(out[1]);
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(1);  // we died before the line above
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        std::fprintf(stderr, "Error: cannot run %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    setpgid(pid, pid);  // also here: no window in which a signal to the group misses it
    p.pid = pid;
    close(out[1]);
    // Its output line by line until the Tcl port is named, within the
    // deadline: an OpenOCD stuck on its probe says nothing and never listens.
    const int fd = out[0];
    const double deadline = now_seconds() + start_deadline_s;
    std::string pending, tail, errors;
    p.port.clear();
    bool ended = false, late = false;
    while (p.port.empty() && !ended) {
        const int left = static_cast<int>((deadline - now_seconds()) * 1000);
        if (left <= 0) {
            late = true;
            break;
        }
        pollfd pfd{fd, POLLIN, 0};
        const int r = poll(&pfd, 1, left);
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) continue;
        char buf[1024];
        const ssize_t n = r < 0 ? -1 : read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ended = true;
            if (!pending.empty()) pending += '\n';
        } else {
            pending.append(buf, static_cast<std::size_t>(n));
        }
        for (std::size_t nl; p.port.empty() && (nl = pending.find('\n')) != std::string::npos;) {
            const std::string line = pending.substr(0, nl + 1);
            pending.erase(0, nl + 1);
            if (log) std::fprintf(log, "%.6f openocd: %s", now_seconds() - t0, line.c_str()), std::fflush(log);
            tail = line;
            if (line.rfind("Error: ", 0) == 0) errors += line;  // its reasons, said first
            unsigned port = 0;
            if (std::sscanf(line.c_str(), "Info : Listening on port %u for tcl connections", &port) == 1)
                p.port = std::to_string(port);
        }
    }
    if (p.port.empty()) {
        const std::string why = errors.empty() ? tail : errors;
        error = late ? "openocd did not start within " + std::to_string(start_deadline_s) + " s"
                     : std::string("openocd did not start");
        if (!why.empty()) error += (late ? "; it printed: " : ": ") + why;
        while (!error.empty() && error.back() == '\n') error.pop_back();
        close(fd);
        return false;
    }
    p.output = std::thread([fd, log, t0, rest = pending] {
        // The operator's Ctrl-C and SIGTERM are the main thread's to handle.
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, SIGINT);
        sigaddset(&block, SIGTERM);
        sigaddset(&block, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &block, nullptr);
        std::string text = rest;
        char buf[1024];
        for (;;) {
            for (std::size_t nl; (nl = text.find('\n')) != std::string::npos; text.erase(0, nl + 1))
                if (log) std::fprintf(log, "%.6f openocd: %s", now_seconds() - t0, text.substr(0, nl + 1).c_str()), std::fflush(log);
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            text.append(buf, static_cast<std::size_t>(n));
        }
        if (log && !text.empty()) std::fprintf(log, "%.6f openocd: %s\n", now_seconds() - t0, text.c_str()), std::fflush(log);
        close(fd);
    });
    return true;
}

void stop_openocd(OpenocdProcess& p) {
    if (p.pid > 0) {
        const pid_t pid = static_cast<pid_t>(p.pid);
        kill(pid, SIGTERM);
        bool ended = false;
        for (int i = 0; i < 100 && !ended; ++i) {  // 5 s
            const pid_t r = waitpid(pid, nullptr, WNOHANG);
            ended = r == pid || (r < 0 && errno == ECHILD);
            if (!ended) usleep(50000);
        }
        kill(-pid, SIGKILL);  // the whole group: whatever it started too
        if (!ended) waitpid(pid, nullptr, 0);
        p.pid = -1;
    }
    if (p.output.joinable()) p.output.join();
}

}  // namespace jtag
}  // namespace vr
