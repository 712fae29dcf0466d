#include "tests/helpers.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "link/serial.hpp"

namespace vt {

Line::Line() : dir_(temp_dir()) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master_);
    unlockpt(master_);
    const std::string cfg = dir_ + "/varnholme";
    mkdir(cfg.c_str(), 0700);
    write_file(cfg + "/jtag.ini", "tp\r\n");
    symlink(ptsname(master_), (cfg + "/tp").c_str());
    setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
}

Line::~Line() {
    vr::comclose();
    close(master_);
}

bool Line::open() {
    vr::MsgBuf buf;
    int32_t status = 1;
    vr::initcom(buf, status);
    return status == 0;
}

std::string Line::sent(int ms) {
    std::string out;
    char b[512];
    for (;;) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0 || !(p.revents & POLLIN)) break;
        const ssize_t n = read(master_, b, sizeof b);
        if (n <= 0) break;
        out.append(b, static_cast<std::size_t>(n));
    }
    return out;
}

void Line::reply(const std::string& bytes) {
    (void)!write(master_, bytes.data(), bytes.size());
}

Emulated::Emulated(Line& line, int32_t code, char id_reply, vr::sim::Faults faults)
    : adapter(code, id_reply, faults) {
    const int fd = line.master();
    thread_ = std::thread([this, fd] {
        while (vr::line::serve_host(fd, adapter.receiver(), adapter.link(), false, stop_, nullptr, 0) ==
               vr::line::Served::hung_up)
            adapter.receiver().hangup();
    });
}

void Emulated::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

Emulated::~Emulated() { stop(); }

}  // namespace vt
