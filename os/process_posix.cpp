#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "os/clock.hpp"
#include "os/process.hpp"

namespace vr::os {

std::string find_program(const std::string& name) {
    if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : std::string();
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= dirs.size();) {
        const std::size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
        const std::string candidate = dir + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return {};
}

std::string own_folder() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string path = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string();
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool readable(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

bool child_start(const std::vector<std::string>& args, Child& child, std::string& error) {
    int out[2];
    if (args.empty() || pipe(out) != 0) return error = "pipe failed", false;
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        close(out[0]), close(out[1]);
        return error = "cannot start " + args[0], false;
    }
    if (pid == 0) {
        dup2(out[1], 1), dup2(out[1], 2), close(out[0]), close(out[1]);
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(1);  // we died before the line above
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        std::fprintf(stderr, "Error: cannot run %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    setpgid(pid, pid);  // also here: no window in which a signal to the group misses it
    close(out[1]);
    child.pid = pid;
    child.out = out[0];
    return true;
}

bool child_line(Child& child, std::string& line, double deadline, bool& late) {
    line.clear();
    const int fd = static_cast<int>(child.out);
    if (fd < 0) return false;
    for (;;) {
        int wait_ms = -1;
        if (deadline > 0) {
            const double left = deadline - now_seconds();
            if (left <= 0) return late = true, false;
            wait_ms = static_cast<int>(left * 1000) + 1;
        }
        pollfd pfd{fd, POLLIN, 0};
        const int r = poll(&pfd, 1, wait_ms);
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) continue;
        char c = 0;
        const ssize_t n = r < 0 ? -1 : read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return !line.empty();
        if (c == '\n') return true;
        line += c;
    }
}

void child_close_output(Child& child) {
    if (child.out >= 0) close(static_cast<int>(child.out));
    child.out = -1;
}

void child_stop(Child& child) {
    if (child.pid <= 0) return;
    const pid_t pid = static_cast<pid_t>(child.pid);
    kill(pid, SIGTERM);
    bool ended = false;
    for (int i = 0; i < 100 && !ended; ++i) {  // 5 s
        const pid_t r = waitpid(pid, nullptr, WNOHANG);
        ended = r == pid || (r < 0 && errno == ECHILD);
        if (!ended) usleep(50000);
    }
    kill(-pid, SIGKILL);  // the whole group: whatever it started too
    if (!ended) waitpid(pid, nullptr, 0);
    child.pid = -1;
}

void leave_interrupts_to_others() {
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &block, nullptr);
}

}  // namespace vr::os
