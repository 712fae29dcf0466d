// The serial port and configuration location on Windows.
//
// The configuration path is used as it stands ("C:\varnholme\jtag.ini"). The
// port is opened by name through the "\\.\" device prefix, so that COM10 and
// above open as well, for exclusive use, and set up with the line state the
// adapter expects: 115200 baud, 8N1, binary, XON/XOFF both ways, no hardware
// flow control, DTR and RTS off, and a 500 ms time-out for every byte read.
#include <windows.h>
#include <mmsystem.h>

#include <cstdio>
#include <cstring>

#include "os/port.hpp"

namespace vr::os {
namespace {

HANDLE handle = INVALID_HANDLE_VALUE;

bool fail_close() {
    CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
    return false;
}

}  // namespace

bool local_config_path(std::string_view windows_path, char* out, std::size_t size) {
    if (windows_path.size() + 1 > size) return false;
    std::memcpy(out, windows_path.data(), windows_path.size());
    out[windows_path.size()] = '\0';
    return true;
}

bool open(std::string_view port_name) {
    if (handle != INVALID_HANDLE_VALUE) close();
    if (port_name.empty() || port_name.size() > 64) return false;
    char device[80];
    std::snprintf(device, sizeof device, "\\\\.\\%.*s", static_cast<int>(port_name.size()), port_name.data());
    return open_device(device);
}

bool open_device(const char* device) {
    if (handle != INVALID_HANDLE_VALUE) close();
    handle = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0 /* no sharing */, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    // Only a communications device is used (a first line naming a disk
    // file or another device is refused like a port that cannot be opened).
    if (GetFileType(handle) != FILE_TYPE_CHAR) return fail_close();

    if (!SetupComm(handle, 1024, 1024)) return fail_close();

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) return fail_close();
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = FALSE;
    dcb.fOutX = TRUE;
    dcb.fInX = TRUE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(handle, &dcb)) return fail_close();

    // Reads: no interval or per-byte multiplier, 500 ms in all for each
    // one-byte read. The write time-outs stay as they are.
    COMMTIMEOUTS t{};
    if (!GetCommTimeouts(handle, &t)) return fail_close();
    t.ReadIntervalTimeout = 0;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = 500;
    // A write that the adapter holds up (XOFF) gives up after 2 s.
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = 2000;
    if (!SetCommTimeouts(handle, &t)) return fail_close();
    // The 0.11 s pauses after every row are slept: ask for 1 ms timer
    // resolution while the port is open, instead of the default 15.6 ms
    // that would add up to a tenth to a run.
    timeBeginPeriod(1);
    return true;
}

int read_byte(unsigned char& c) {
    if (handle == INVALID_HANDLE_VALUE) return -1;
    DWORD n = 0;
    if (!ReadFile(handle, &c, 1, &n, nullptr)) return -1;
    return n == 1 ? 1 : 0;
}

void write(const char* data, std::size_t n) {
    if (handle == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(handle, data, static_cast<DWORD>(n), &written, nullptr);
}

bool binary() {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (handle == INVALID_HANDLE_VALUE || !GetCommState(handle, &dcb)) return false;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fAbortOnError = FALSE;  // a damaged byte is reported by damaged(), reading goes on
    return SetCommState(handle, &dcb);
}

bool damaged() {
    DWORD errors = 0;
    if (handle == INVALID_HANDLE_VALUE || !ClearCommError(handle, &errors, nullptr)) return false;
    return errors & (CE_FRAME | CE_RXPARITY | CE_OVERRUN | CE_RXOVER);
}

bool set_speed(long baud) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (handle == INVALID_HANDLE_VALUE || (baud != 115200 && baud != 1000000)) return false;
    FlushFileBuffers(handle);  // what is queued goes at the old speed
    if (!GetCommState(handle, &dcb)) return false;
    dcb.BaudRate = static_cast<DWORD>(baud);
    return SetCommState(handle, &dcb);
}

long read(unsigned char* data, std::size_t n, int timeout_ms) {
    COMMTIMEOUTS t{};
    if (handle == INVALID_HANDLE_VALUE || !GetCommTimeouts(handle, &t)) return -1;
    COMMTIMEOUTS usual = t;
    t.ReadTotalTimeoutConstant = static_cast<DWORD>(timeout_ms);
    if (!SetCommTimeouts(handle, &t)) return -1;
    DWORD got = 0;
    const BOOL ok = ReadFile(handle, data, static_cast<DWORD>(n), &got, nullptr);
    SetCommTimeouts(handle, &usual);
    return ok ? static_cast<long>(got) : -1;
}

void close() {
    if (handle == INVALID_HANDLE_VALUE) return;
    FlushFileBuffers(handle);  // the release command must reach the adapter
    CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
    timeEndPeriod(1);
}

}  // namespace vr::os
