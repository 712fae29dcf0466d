#include "adapter/line/pty.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vr::line {
namespace {

// A raw pseudo-terminal whose slave is not held open.
bool open_pty(Pty& pty, std::string& error) {
    pty.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    const char* name = pty.master >= 0 && grantpt(pty.master) == 0 && unlockpt(pty.master) == 0 ? ptsname(pty.master) : nullptr;
    if (name) pty.name = name;
    const int slave = name ? open(name, O_RDWR | O_NOCTTY) : -1;
    termios t{};
    const bool ok = slave >= 0 && tcgetattr(slave, &t) == 0 && (cfmakeraw(&t), tcsetattr(slave, TCSANOW, &t)) == 0;
    const int saved = errno;
    if (slave >= 0) close(slave);  // the settings stay with the pair
    if (!ok) {
        error = std::string("pseudo-terminal: ") + std::strerror(saved);
        if (pty.master >= 0) close(pty.master);
        pty.master = -1;
    }
    return ok;
}

// link -> target, replaced atomically through a temporary link beside it.
bool point_link(const std::string& link, const std::string& target, std::string& error) {
    const std::string temp = link + ".new";
    unlink(temp.c_str());
    if (symlink(target.c_str(), temp.c_str()) != 0 || rename(temp.c_str(), link.c_str()) != 0) {
        error = "symbolic link " + link + ": " + std::strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace

bool open_pty_link(const std::string& link, Pty& pty, std::string& error) {
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        error = link + " exists and is not a symbolic link: not replaced";
        return false;
    }
    return open_pty(pty, error) && point_link(link, pty.name, error);
}

bool renew_pty_link(const std::string& link, Pty& pty, std::string& error) {
    Pty fresh;
    if (!open_pty(fresh, error)) return false;
    if (!point_link(link, fresh.name, error)) {
        close(fresh.master);
        return false;
    }
    close(pty.master);
    pty = fresh;
    return true;
}

void close_pty_link(const std::string& link, Pty& pty) {
    char target[4096];
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == pty.name) unlink(link.c_str());
    if (pty.master >= 0) close(pty.master);
    pty.master = -1;
}

HostWatch::Change HostWatch::seen(short revents) {
    const bool hung_up = revents & POLLHUP;
    if (!hung_up && !present_) {
        present_ = true;
        return opened;
    }
    if (hung_up && !(revents & POLLIN) && present_) {
        present_ = false;
        return closed;
    }
    return same;
}

}  // namespace vr::line
