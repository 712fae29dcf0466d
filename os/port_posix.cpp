// The serial port and configuration location on POSIX systems.
//
// The configuration path's drive stands for the user's configuration home
// ($XDG_CONFIG_HOME, default ~/.config); the rest of the path follows with
// "/". A port name NAME opens the entry NAME of the configuration folder when
// there is one (typically a symbolic link to /dev/ttyUSB0, or to the
// pseudo-terminal of the adapter emulator), else /dev/NAME.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "os/port.hpp"

namespace vr::os {
namespace {

int fd = -1;
termios saved{};     // the port's settings before we opened it
bool have_saved = false;
bool gone = false;   // the device hung up (USB adapter unplugged): nothing more is tried
bool stalled = false;  // the last write gave up: the next ones do not wait again
// The binary line marks a byte received with a framing or parity error as
// 0xFF 0x00 (then the byte) and a real 0xFF as 0xFF 0xFF (PARMRK).
bool marking = false, line_damaged = false;
int escape = 0;  // 0xFF bytes of a mark read so far (at the end of a read)

// Output that makes no progress for this long is given up (an XOFF that never
// ends, a stuck driver): the rest is discarded and the run goes on to fail.
constexpr int stall_ms = 2000;

// The user's configuration home, without a trailing slash.
bool config_home(char* out, std::size_t size) {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') return std::snprintf(out, size, "%s", xdg) < static_cast<int>(size);
    const char* home = std::getenv("HOME");
    if (!home || !*home) return false;
    return std::snprintf(out, size, "%s/.config", home) < static_cast<int>(size);
}

void fail_close() {
    if (have_saved) ::tcsetattr(fd, TCSANOW, &saved);
    have_saved = false;
    (void)::ioctl(fd, TIOCNXCL);
    ::close(fd);
    fd = -1;
}

// Waits until the output queue is empty, giving up (and discarding it) after
// stall_ms without progress.
void drain_bounded() {
    if (stalled) ::tcflush(fd, TCOFLUSH);
    int left = 0, before = -1;
    auto since = std::chrono::steady_clock::now();
    while (!gone && ::ioctl(fd, TIOCOUTQ, &left) == 0 && left > 0) {
        if (left != before) before = left, since = std::chrono::steady_clock::now();
        if (std::chrono::steady_clock::now() - since > std::chrono::milliseconds(stall_ms)) {
            ::tcflush(fd, TCOFLUSH);
            return;
        }
        ::usleep(2000);
    }
}

}  // namespace

bool local_config_path(std::string_view windows_path, char* out, std::size_t size) {
    std::array<char, 1024> home{};
    if (!config_home(home.data(), home.size())) return false;
    // Drop the drive ("C:"), then turn the backslashes into slashes.
    std::string_view rest = windows_path.size() >= 2 && windows_path[1] == ':' ? windows_path.substr(2) : windows_path;
    int n = std::snprintf(out, size, "%s", home.data());
    if (n < 0 || static_cast<std::size_t>(n) >= size) return false;
    std::size_t pos = static_cast<std::size_t>(n);
    for (char c : rest) {
        if (pos + 1 >= size) return false;
        out[pos++] = c == '\\' ? '/' : c;
    }
    out[pos] = '\0';
    return true;
}

bool open(std::string_view port_name) {
    if (fd >= 0) close();
    if (port_name.empty()) return false;

    std::array<char, 1200> device{};
    std::array<char, 1024> folder{};
    struct stat st {};
    bool found = false;
    if (local_config_path("C:\\varnholme", folder.data(), folder.size())) {
        std::snprintf(device.data(), device.size(), "%s/%.*s", folder.data(), static_cast<int>(std::min<std::size_t>(port_name.size(), 64)),
                      port_name.data());
        found = ::lstat(device.data(), &st) == 0;
    }
    if (!found)
        std::snprintf(device.data(), device.size(), "/dev/%.*s", static_cast<int>(std::min<std::size_t>(port_name.size(), 64)), port_name.data());
    return open_device(device.data());
}

bool open_device(const char* path) {
    if (fd >= 0) close();
    std::array<char, 1200> device{};
    std::snprintf(device.data(), device.size(), "%s", path);

    // Without blocking on modem lines and without becoming our controlling
    // terminal; anything that is not a terminal is refused at once.
    fd = ::open(device.data(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    gone = stalled = false;
    if (!::isatty(fd)) return fail_close(), false;
    // DTR and RTS off at once where the device has modem lines (opening raised
    // them; a pseudo-terminal has none, which is not a failure).
    int lines = TIOCM_DTR | TIOCM_RTS;
    (void)::ioctl(fd, TIOCMBIC, &lines);
    // Exclusive use: an advisory lock, released when the port is closed, and
    // TIOCEXCL, which keeps other programs (ModemManager, terminals) from
    // opening the port at all meanwhile.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return fail_close(), false;
    (void)::ioctl(fd, TIOCEXCL);

    termios tio {};
    if (::tcgetattr(fd, &tio) != 0) return fail_close(), false;
    saved = tio;
    have_saved = true;
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;  // receiver on, modem status ignored
    tio.c_iflag &= ~static_cast<tcflag_t>(IXANY | INPCK | ISTRIP | IGNBRK | BRKINT | PARMRK | IGNPAR);
    tio.c_iflag |= IXON | IXOFF;          // XON/XOFF in both directions
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 5;                  // 500 ms per byte
    if (::cfsetispeed(&tio, B115200) != 0 || ::cfsetospeed(&tio, B115200) != 0) return fail_close(), false;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) return fail_close(), false;
    // There are no driver queue sizes to set on POSIX; the kernel's own
    // buffers are larger than the 1024 bytes the adapter protocol needs.

    (void)::ioctl(fd, TIOCMBIC, &lines);  // once more: some drivers raise them with the speed
    ::tcflush(fd, TCIFLUSH);              // stale input from before the run
    // The port stays non-blocking: reads wait with poll, writes with a bound.
    return true;
}

// The wait for a byte is made with poll, not by the line's own VTIME timer:
// the kernel runs VTIME on its coarse timer wheel, which ends a 500 ms wait up
// to 30 ms late, and every drain of a run would pay for it. poll keeps to the
// 500 ms; VTIME stays set as the line's own limit.
int read_byte(unsigned char& c) {
    if (fd < 0 || gone) return -1;
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(500);
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(std::max<decltype(left)>(left, 0)));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) return 0;
        const ssize_t n = ::read(fd, &c, 1);
        if (n == 1) return 1;
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if ((n == 0 && (p.revents & POLLHUP)) || (n < 0 && errno == EIO)) {
            gone = true;  // the adapter vanished: every later read fails at once
            return -1;
        }
        if (n == 0) continue;  // nothing after all
        return -1;
    }
}

void write(const char* data, std::size_t n) {
    if (fd < 0 || gone) return;
    using clock = std::chrono::steady_clock;
    auto since = clock::now();
    while (n > 0) {
        const ssize_t r = ::write(fd, data, n);
        if (r > 0) {
            data += r, n -= static_cast<std::size_t>(r);
            since = clock::now();
            stalled = false;
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno == EIO) {
            gone = true;
            return;
        }
        if (r < 0 && errno != EAGAIN) return;
        // Output stopped (XOFF, a full queue): wait, but not for ever, and
        // once it has given up not again until output moves.
        const auto left = std::chrono::milliseconds(stalled ? 0 : stall_ms) - (clock::now() - since);
        if (left <= clock::duration::zero()) {
            ::tcflush(fd, TCOFLUSH);
            stalled = true;
            return;
        }
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count()));
        if (p.revents & (POLLHUP | POLLERR)) {
            gone = true;
            return;
        }
    }
}

bool binary() {
    termios tio {};
    if (fd < 0 || ::tcgetattr(fd, &tio) != 0) return false;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | IGNPAR | ISTRIP);
    tio.c_iflag |= INPCK | PARMRK;  // a damaged byte is marked, not passed on as good
#ifdef __linux__
    // Low latency where the driver allows it (an FTDI chip's latency timer
    // then drops to 1 ms): replies come as soon as they are there.
    serial_struct serial {};
    if (::ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        (void)::ioctl(fd, TIOCSSERIAL, &serial);
    }
#endif
    marking = ::tcsetattr(fd, TCSADRAIN, &tio) == 0;
    escape = 0;
    line_damaged = false;
    return marking;
}

bool damaged() {
    const bool was = line_damaged;
    line_damaged = false;
    return was;
}

bool set_speed(long baud) {
    termios tio {};
    const speed_t speed = baud == 1000000 ? B1000000 : B115200;
    if (fd < 0 || (baud != 1000000 && baud != 115200) || ::tcgetattr(fd, &tio) != 0) return false;
    if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0) return false;
    return ::tcsetattr(fd, TCSADRAIN, &tio) == 0;
}

long read(unsigned char* data, std::size_t n, int timeout_ms) {
    if (fd < 0 || gone) return -1;
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
    std::size_t got = 0;
    while (got < n) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(std::max<decltype(left)>(left, 0)));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) break;
        const ssize_t k = ::read(fd, data + got, n - got);
        if (k > 0 && marking) {
            // The marks taken out: 0xFF 0xFF is a 0xFF, 0xFF 0x00 X a
            // damaged byte (dropped: the reply comes up short).
            std::size_t kept = got;
            for (std::size_t i = got; i < got + static_cast<std::size_t>(k); ++i) {
                const unsigned char c = data[i];
                if (escape == 0 && c == 0xFF) escape = 1;
                else if (escape == 1 && c == 0xFF) data[kept++] = 0xFF, escape = 0;
                else if (escape == 1) escape = 2;
                else if (escape == 2) line_damaged = true, escape = 0;
                else data[kept++] = c;
            }
            got = kept;
            continue;
        }
        if (k > 0) {
            got += static_cast<std::size_t>(k);
            continue;
        }
        if (k < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if ((k == 0 && (p.revents & POLLHUP)) || (k < 0 && errno == EIO)) {
            gone = true;
            return -1;
        }
        if (k < 0) return -1;
    }
    return static_cast<long>(got);
}

void close() {
    marking = false;
    if (fd < 0) return;
    drain_bounded();  // the release command must reach the adapter, unless it cannot
    if (have_saved && !gone) ::tcsetattr(fd, TCSANOW, &saved);
    have_saved = false;
    // Exclusive use ends with us: the flag would outlive this program while
    // another holds the line (the emulator holds its pseudo-terminal).
    (void)::ioctl(fd, TIOCNXCL);
    ::close(fd);
    fd = -1;
}

}  // namespace vr::os
