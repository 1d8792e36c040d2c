// loopback_port.h - a TCP port on 127.0.0.1 held by a socket of the test's
// own: bound only (connections are refused), or listening (connections are
// taken and never answered).
#ifndef MQTEST_LOOPBACK_PORT_H
#define MQTEST_LOOPBACK_PORT_H

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace mqtest {

class LoopbackPort {
public:
    explicit LoopbackPort(bool listening) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            return;
        if (listening && listen(fd_, 8) != 0) return;
        port_ = ntohs(addr.sin_port);
    }
    ~LoopbackPort() {
        if (fd_ >= 0) close(fd_);
    }
    LoopbackPort(const LoopbackPort&) = delete;
    LoopbackPort& operator=(const LoopbackPort&) = delete;
    // 0 when the socket could not be had.
    int port() const { return port_; }
    std::string text() const { return std::to_string(port_); }

private:
    int fd_ = -1;
    int port_ = 0;
};

}  // namespace mqtest

#endif
