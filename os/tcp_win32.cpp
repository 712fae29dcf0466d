#include <winsock2.h>
#include <ws2tcpip.h>

#include "os/tcp.hpp"

namespace vr::os {
namespace {

bool started() {
    static const bool ok = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ok;
}

}  // namespace

bool TcpClient::connect(const std::string& host, const std::string& port, std::string& error) {
    close();
    if (!started()) return error = "Winsock did not start", false;
    addrinfo hints{}, *list = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &list) != 0) return error = "cannot resolve " + host, false;
    SOCKET s = INVALID_SOCKET;
    for (addrinfo* a = list; a && s == INVALID_SOCKET; a = a->ai_next) {
        s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s != INVALID_SOCKET && ::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0)
            closesocket(s), s = INVALID_SOCKET;
    }
    freeaddrinfo(list);
    if (s == INVALID_SOCKET) return error = "nothing answers at " + host + ":" + port, false;
    const BOOL yes = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&yes), sizeof yes);
    fd_ = static_cast<intptr_t>(s);
    return true;
}

bool TcpClient::send_all(const char* data, std::size_t size) {
    std::size_t pos = 0;
    while (pos < size && fd_ != -1) {
        const int w = ::send(static_cast<SOCKET>(fd_), data + pos, static_cast<int>(size - pos), 0);
        if (w <= 0) return false;
        pos += static_cast<std::size_t>(w);
    }
    return pos == size;
}

long TcpClient::receive(char* buf, std::size_t size, int timeout_ms) {
    if (fd_ == -1) return -1;
    WSAPOLLFD p{static_cast<SOCKET>(fd_), POLLRDNORM, 0};
    if (WSAPoll(&p, 1, timeout_ms) <= 0) return -1;
    const int n = ::recv(static_cast<SOCKET>(fd_), buf, static_cast<int>(size), 0);
    return n < 0 ? -1 : n;
}

void TcpClient::close() {
    if (fd_ != -1) closesocket(static_cast<SOCKET>(fd_));
    fd_ = -1;
}

}  // namespace vr::os
