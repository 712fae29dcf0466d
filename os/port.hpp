// The operating system's side of the serial link and of the configuration
// file's location. One implementation per platform (port_posix.cpp here).
#pragma once

#include <cstddef>
#include <string_view>

namespace vr::os {

// Maps the configuration path, a Windows path text such as
// "C:\varnholme\jtag.ini", onto a local file name. False if it cannot.
bool local_config_path(std::string_view windows_path, char* out, std::size_t size);

// Opens and configures the port of that name for the adapter: 115200 baud,
// 8N1, raw, XON/XOFF both ways, no hardware flow control, 500 ms read
// time-out, exclusive use. On any failure nothing stays open.
bool open(std::string_view port_name);

// The same for a device named by its full path (a command line's --port).
bool open_device(const char* path);

// Reads at most one byte: 1 when a byte arrived, 0 after the read time-out,
// -1 when the read failed (or no port is open).
int read_byte(unsigned char& c);

// Writes n bytes in one write call (what is short or failed is not reported).
void write(const char* data, std::size_t n);

// Closes the port; pending output is sent first, never discarded.
void close();

// A binary protocol on the open port (a JTAG probe's): XON/XOFF off both
// ways, so that every byte is data. False if the port refused.
bool binary();
// On the binary line: whether a byte arrived with a framing or parity error
// (the port flags it) since the last call.
bool damaged();

// The line's speed: 115200 or 1000000 baud. Output queued before is sent at
// the old speed first. False if the port refused.
bool set_speed(long baud);

// Reads up to n bytes, waiting at most timeout_ms in all: the count read, or
// -1 when the read failed (or no port is open).
long read(unsigned char* data, std::size_t n, int timeout_ms);

}  // namespace vr::os
