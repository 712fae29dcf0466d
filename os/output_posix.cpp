// The READ action's output file on POSIX systems.
//
// The file is opened (created when missing, never truncated) before the chip
// is read, so that a name that cannot be written is refused before anything
// else happens. The new contents are written to a temporary file in the same
// folder, flushed to disk and renamed over the target: an existing file is
// replaced only by a complete new one, and a failed read or write leaves it as
// it was.
#include <fcntl.h>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "os/output.hpp"

namespace vr::os {
namespace {

int out_fd = -1;
std::array<char, 4096> out_path{};
bool out_created = false;  // open_output made the file

}  // namespace

bool output_open(const char* path) {
    if (out_fd >= 0) ::close(out_fd);
    std::snprintf(out_path.data(), out_path.size(), "%s", path);
    struct stat before {};
    out_created = ::lstat(out_path.data(), &before) != 0 && errno == ENOENT;
    // Without blocking: a FIFO nobody reads would otherwise hold the run for
    // ever. It is given a few seconds to find its reader.
    for (int tries = 0;; ++tries) {
        out_fd = ::open(out_path.data(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
        if (out_fd >= 0 || errno != ENXIO || tries >= 20) break;
        ::usleep(100000);
    }
    if (out_fd < 0) return out_created = false;
    const int flags = ::fcntl(out_fd, F_GETFL);
    if (flags >= 0) ::fcntl(out_fd, F_SETFL, flags & ~O_NONBLOCK);
    return true;
}

namespace {

// A name that is not a regular file (a pipe, a terminal, /dev/null) is
// written in place: replacing it would put a plain file where the device was.
bool write_in_place(Writer write, void* context) {
    const int fd = ::dup(out_fd);
    std::FILE* f = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
    if (!f) {
        if (fd >= 0) ::close(fd);
        return false;
    }
    bool ok = write(f, context);
    ok = std::fclose(f) == 0 && ok;
    return ok;
}

bool replace_file(Writer write, void* context, mode_t mode) {
    // Replace the file the name resolves to, not a symbolic link on the way.
    std::array<char, PATH_MAX> target{};
    if (!::realpath(out_path.data(), target.data())) std::strncpy(target.data(), out_path.data(), target.size() - 1);

    std::array<char, PATH_MAX + 8> temp{};
    std::snprintf(temp.data(), temp.size(), "%s.XXXXXX", target.data());
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) return false;
    ::fchmod(fd, mode & 07777);
    bool ok = false;
    std::FILE* f = ::fdopen(fd, "wb");
    if (f) {
        ok = write(f, context);
        ok = ::fsync(fd) == 0 && ok;
        ok = std::fclose(f) == 0 && ok;
    } else {
        ::close(fd);
    }
    ok = ok && ::rename(temp.data(), target.data()) == 0;
    if (!ok) ::unlink(temp.data());
    return ok;
}

}  // namespace

bool output_write(Writer write, void* context) {
    if (out_fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(out_fd, &st) == 0;
    if (ok) ok = S_ISREG(st.st_mode) ? replace_file(write, context, st.st_mode) : write_in_place(write, context);
    ok = ::close(out_fd) == 0 && ok;
    out_fd = -1;
    return ok;
}

void output_drop() {
    if (out_fd >= 0) ::close(out_fd);
    out_fd = -1;
    struct stat st {};
    if (out_created && ::lstat(out_path.data(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0)
        ::unlink(out_path.data());
    out_created = false;
}

}  // namespace vr::os
