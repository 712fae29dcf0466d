// The serial link to the programming adapter and its configuration.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/text.hpp"

namespace vr {

// The configuration path as a Windows path text, from SystemRoot: its first
// two characters followed by "\varnholme\jtag.ini", or "c:\varnholme\jtag.ini"
// when SystemRoot has two characters or fewer.
void config_path(MsgBuf& path);

// The configuration file's local name, or "" when the path cannot be mapped.
std::string config_file();

// Every line of the configuration file (CR LF or LF ends), for the
// settings beyond the port's name; false when it cannot be read. With
// use_port in effect there is no file to read: false.
bool config_lines(std::vector<std::string>& lines);

// Reads the configuration, opens and configures the port. status 0 and
// "ok, done" on success; status 1 and the reason otherwise.
void initcom(MsgBuf& buf, int32_t& status);

// Makes initcom open this device (a path, any length) instead of the port
// that jtag.ini names; an empty path goes back to jtag.ini.
void use_port(std::string_view path);

// An adapter that resets when the port opens (a Nano's bootloader runs about
// 1.4 s and drops what arrives): the first byte after initcom waits until
// this long after the open. 0 (the default) sends at once.
void set_boot_wait(int32_t milliseconds);

// Sends the first count bytes of buf in one write.
void com_w(const MsgBuf& buf, int32_t count);

// Reads one reply into buf from its first character: at most limit
// characters, ending after a CR or LF. A byte that does not arrive within
// 500 ms (or a NUL) fails the read: buf[0] := NUL, err := 1.
void com_r(MsgBuf& buf, int32_t limit, int32_t& err, int32_t retries);

// Discards received bytes until the line has been quiet for 500 ms.
void com_f();

// Closes the port at the end of the run.
void comclose();

}  // namespace vr
