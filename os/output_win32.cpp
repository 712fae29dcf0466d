// The READ action's output file on Windows.
//
// As on POSIX: the file is opened (created when missing, never truncated)
// before the chip is read; the new contents go to a temporary file in the
// same folder, are flushed to disk and then moved over the target, so that an
// existing file is replaced only by a complete new one. A name that is not a
// disk file (NUL, a device) is written in place.
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <array>
#include <cstdio>

#include "os/output.hpp"

namespace vr::os {
namespace {

HANDLE out = INVALID_HANDLE_VALUE;
std::array<char, 4096> out_path{};
bool out_created = false;  // open_output made the file

// A stream over the handle, which it takes over: on failure the handle is
// closed here, exactly once, and the caller never closes it again.
std::FILE* stream_of(HANDLE h) {
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY | _O_WRONLY);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    std::FILE* f = _fdopen(fd, "wb");
    if (!f) _close(fd);  // closes the handle too
    return f;
}

bool write_in_place(Writer write, void* context) {
    std::FILE* f = stream_of(out);
    out = INVALID_HANDLE_VALUE;  // now owned by the stream
    if (!f) return false;
    bool ok = write(f, context);
    ok = std::fclose(f) == 0 && ok;
    return ok;
}

bool replace_file(Writer write, void* context) {
    char target[MAX_PATH], folder[MAX_PATH], temp[MAX_PATH];
    char* base = nullptr;
    const DWORD n = GetFullPathNameA(out_path.data(), MAX_PATH, target, &base);
    if (n == 0 || n >= MAX_PATH || !base) return false;
    std::snprintf(folder, sizeof folder, "%.*s", static_cast<int>(base - target), target);
    if (GetTempFileNameA(folder, "vrj", 0, temp) == 0) return false;
    HANDLE h = CreateFileA(temp, GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::FILE* f = h == INVALID_HANDLE_VALUE ? nullptr : stream_of(h);
    bool ok = false;
    if (f) {
        ok = write(f, context);
        ok = std::fflush(f) == 0 && ok;
        ok = FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)))) && ok;
        ok = std::fclose(f) == 0 && ok;
    }
    // The target's own handle is closed first: a file held open cannot be
    // replaced.
    CloseHandle(out);
    out = INVALID_HANDLE_VALUE;
    ok = ok && MoveFileExA(temp, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok) DeleteFileA(temp);
    return ok;
}

}  // namespace

bool output_open(const char* path) {
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    std::snprintf(out_path.data(), out_path.size(), "%s", path);
    out = CreateFileA(out_path.data(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                      nullptr);
    out_created = out != INVALID_HANDLE_VALUE && GetLastError() != ERROR_ALREADY_EXISTS;
    return out != INVALID_HANDLE_VALUE;
}

bool output_write(Writer write, void* context) {
    if (out == INVALID_HANDLE_VALUE) return false;
    const bool ok = GetFileType(out) == FILE_TYPE_DISK ? replace_file(write, context) : write_in_place(write, context);
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    out = INVALID_HANDLE_VALUE;
    return ok;
}

void output_drop() {
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    out = INVALID_HANDLE_VALUE;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (out_created && GetFileAttributesExA(out_path.data(), GetFileExInfoStandard, &data) &&
        !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && data.nFileSizeHigh == 0 && data.nFileSizeLow == 0)
        DeleteFileA(out_path.data());
    out_created = false;
}

}  // namespace vr::os
