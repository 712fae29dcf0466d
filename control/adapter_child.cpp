#include "control/adapter_child.hpp"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace vr {
namespace {

std::string read_all(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// vrjtag-adapter next to this program (the build tree, or the package's bin
// folder), else from PATH.
std::string adapter_program() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string dir(self, static_cast<std::size_t>(n));
        dir = dir.substr(0, dir.rfind('/'));
        const std::string beside = dir + "/vrjtag-adapter";
        if (access(beside.c_str(), X_OK) == 0) return beside;
    }
    return "vrjtag-adapter";
}

}  // namespace

bool start_adapter_child(const std::string& probe, const std::string& khz, AdapterChild& c, std::string& error) {
    char dir[] = "/tmp/vrjtag-cli-XXXXXX";
    if (!mkdtemp(dir)) return error = "cannot make a folder for the adapter's link", false;
    c.dir = dir;
    c.link = c.dir + "/adapter";
    c.output = c.dir + "/adapter.out";
    std::vector<std::string> args = {adapter_program(), "--probe", probe};
    if (!khz.empty()) args.insert(args.end(), {"--speed", khz});
    args.push_back(c.link);
    const pid_t parent = getpid();
    c.pid = fork();
    if (c.pid == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(1);  // the CLI died before the line above
        const int out = open(c.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1), dup2(out, 2), close(out);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        std::fprintf(stderr, "cannot run %s\n", argv[0]);
        _exit(127);
    }
    if (c.pid < 0) return error = "cannot start vrjtag-adapter", false;
    setpgid(c.pid, c.pid);
    // It serves once it has printed its start line (OpenOCD up, chip identified).
    for (int i = 0; i < 600; ++i) {
        if (read_all(c.output).find("serving on") != std::string::npos) return true;
        int status = 0;
        if (waitpid(c.pid, &status, WNOHANG) == c.pid) {
            c.pid = -1;
            error = read_all(c.output);
            while (!error.empty() && error.back() == '\n') error.pop_back();
            if (error.empty()) error = "vrjtag-adapter ended without a word";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    error = "vrjtag-adapter did not start within 30 s: " + read_all(c.output);
    return false;
}

void stop_adapter_child(AdapterChild& c, bool show) {
    if (c.pid > 0) {
        kill(c.pid, SIGTERM);
        // It finishes the operation under way, leaves programming mode and
        // stops OpenOCD: give it time, then end the whole group.
        bool ended = false;
        for (int i = 0; i < 300 && !ended; ++i) {
            ended = waitpid(c.pid, nullptr, WNOHANG) == c.pid;
            if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (!ended) {
            kill(-c.pid, SIGKILL);
            waitpid(c.pid, nullptr, 0);
        }
        c.pid = -1;
    }
    if (c.dir.empty()) return;
    if (show) std::fputs(read_all(c.output).c_str(), stderr);
    unlink(c.output.c_str());
    unlink(c.link.c_str());
    rmdir(c.dir.c_str());
    c.dir.clear();
}

}  // namespace vr
