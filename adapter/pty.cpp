#include "adapter/pty.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vr::sim {

bool open_pty_link(const std::string& link, Pty& pty, std::string& error) {
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        error = link + " exists and is not a symbolic link: not replaced";
        return false;
    }
    pty.master = posix_openpt(O_RDWR | O_NOCTTY);
    const char* name = pty.master >= 0 && grantpt(pty.master) == 0 && unlockpt(pty.master) == 0 ? ptsname(pty.master) : nullptr;
    if (name) pty.name = name;
    pty.slave = name ? open(name, O_RDWR | O_NOCTTY) : -1;
    termios t{};
    if (pty.slave < 0 || tcgetattr(pty.slave, &t) != 0 || (cfmakeraw(&t), tcsetattr(pty.slave, TCSANOW, &t)) != 0) {
        error = std::string("pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    unlink(link.c_str());
    if (symlink(pty.name.c_str(), link.c_str()) != 0) {
        error = "symbolic link " + link + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void close_pty_link(const std::string& link, Pty& pty) {
    char target[4096];
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == pty.name) unlink(link.c_str());
    if (pty.slave >= 0) close(pty.slave);
    if (pty.master >= 0) close(pty.master);
    pty.slave = pty.master = -1;
}

}  // namespace vr::sim
