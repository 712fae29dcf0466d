#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "os/tcp.hpp"

namespace vr::os {

bool TcpClient::connect(const std::string& host, const std::string& port, std::string& error) {
    close();
    addrinfo hints{}, *list = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &list) != 0) return error = "cannot resolve " + host, false;
    int fd = -1;
    for (addrinfo* a = list; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd >= 0 && ::connect(fd, a->ai_addr, a->ai_addrlen) != 0) ::close(fd), fd = -1;
    }
    freeaddrinfo(list);
    if (fd < 0) return error = "nothing answers at " + host + ":" + port, false;
    const int yes = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    fd_ = fd;
    return true;
}

bool TcpClient::send_all(const char* data, std::size_t size) {
    std::size_t pos = 0;
    while (pos < size && fd_ >= 0) {
        const ssize_t w = ::send(static_cast<int>(fd_), data + pos, size - pos, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        pos += static_cast<std::size_t>(w);
    }
    return pos == size;
}

long TcpClient::receive(char* buf, std::size_t size, int timeout_ms) {
    if (fd_ < 0) return -1;
    for (;;) {
        pollfd p{static_cast<int>(fd_), POLLIN, 0};
        const int r = ::poll(&p, 1, timeout_ms);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return -1;
        const ssize_t n = ::recv(static_cast<int>(fd_), buf, size, 0);
        if (n < 0 && errno == EINTR) continue;
        return n < 0 ? -1 : static_cast<long>(n);
    }
}

void TcpClient::close() {
    if (fd_ >= 0) ::close(static_cast<int>(fd_));
    fd_ = -1;
}

}  // namespace vr::os
