// A TCP client connection (to OpenOCD's Tcl server, or a remote_bitbang
// server), with Nagle's delay off: the JTAG programs exchange many short
// messages. The operating system's side is in tcp_posix.cpp / tcp_win32.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vr::os {

class TcpClient {
public:
    TcpClient() = default;
    ~TcpClient() { close(); }
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    // Connects to the first address of host that answers; false with the
    // reason in error.
    bool connect(const std::string& host, const std::string& port, std::string& error);
    // False when the connection is lost.
    bool send_all(const char* data, std::size_t size);
    // Waits up to timeout_ms for bytes: their count, 0 when the peer closed,
    // -1 on a time-out or an error.
    long receive(char* buf, std::size_t size, int timeout_ms);
    void close();
    bool is_open() const { return fd_ != -1; }

private:
    intptr_t fd_ = -1;
};

}  // namespace vr::os
