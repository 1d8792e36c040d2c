// listeners.cpp - parsing --listen and opening the listening sockets.
#include "listeners.h"

#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace mqlmtpd {

namespace {

const int kBacklog = 128;

std::string Errno(const std::string& what, int err) { return what + ": " + std::strerror(err); }

bool AllDigits(const std::string& s) {
    if (s.empty() || s.size() > 5) return false;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
    }
    return std::atoi(s.c_str()) <= 65535;
}

bool SetFlags(int fd) {
    int fl = fcntl(fd, F_GETFL);
    return fl >= 0 && fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0 &&
           fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

bool OpenUnix(const ListenAddress& address, const SocketAccess& access, int* out, std::string* error) {
    struct sockaddr_un sun;
    std::memset(&sun, 0, sizeof sun);
    sun.sun_family = AF_UNIX;
    if (address.path.size() >= sizeof sun.sun_path) {
        *error = "socket path " + address.path + " is too long";
        return false;
    }
    std::memcpy(sun.sun_path, address.path.c_str(), address.path.size());
    // Only a socket left by an earlier run is replaced.
    struct stat st;
    if (lstat(address.path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            *error = address.path + " exists and is not a socket";
            return false;
        }
        if (unlink(address.path.c_str()) != 0) {
            *error = Errno("unlink " + address.path, errno);
            return false;
        }
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = Errno("socket", errno);
        return false;
    }
    // Made with no access for anyone else, then opened up as asked once
    // owner and group are right.
    mode_t old = umask(0177);
    int rc = bind(fd, reinterpret_cast<struct sockaddr*>(&sun), sizeof sun);
    int err = errno;
    umask(old);
    if (rc != 0) {
        *error = Errno("bind " + address.path, err);
        close(fd);
        return false;
    }
    if ((access.owner != static_cast<uid_t>(-1) || access.group != static_cast<gid_t>(-1)) &&
        chown(address.path.c_str(), access.owner, access.group) != 0) {
        *error = Errno("chown " + address.path, errno);
        close(fd);
        return false;
    }
    if (chmod(address.path.c_str(), access.mode) != 0) {
        *error = Errno("chmod " + address.path, errno);
        close(fd);
        return false;
    }
    if (listen(fd, kBacklog) != 0) {
        *error = Errno("listen " + address.path, errno);
        close(fd);
        return false;
    }
    *out = fd;
    return true;
}

bool OpenTcp(const ListenAddress& address, int* out, std::string* error) {
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    struct addrinfo* res = nullptr;
    int gai = getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &res);
    if (gai != 0) {
        *error = "address " + address.host + ":" + address.port + ": " + gai_strerror(gai);
        return false;
    }
    std::string where = address.host + ":" + address.port;
    int fd = socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = Errno("socket", errno);
        freeaddrinfo(res);
        return false;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, res->ai_addr, res->ai_addrlen) != 0 || listen(fd, kBacklog) != 0) {
        *error = Errno("listen on " + where, errno);
        close(fd);
        freeaddrinfo(res);
        return false;
    }
    freeaddrinfo(res);
    *out = fd;
    return true;
}

}  // namespace

bool ParseListen(const std::string& text, ListenAddress* out, std::string* error) {
    *out = ListenAddress();
    if (text.compare(0, 5, "unix:") == 0) {
        out->unixSocket = true;
        out->path = text.substr(5);
        if (out->path.empty() || out->path[0] != '/') {
            *error = "--listen " + text + ": the socket's path must be absolute";
            return false;
        }
        return true;
    }
    std::string host = "127.0.0.1";
    std::string port = text;
    size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
            host = host.substr(1, host.size() - 2);
        }
        if (host.empty()) host = "127.0.0.1";
    }
    if (!AllDigits(port)) {
        *error = "--listen " + text + ": want unix:PATH, HOST:PORT or PORT";
        return false;
    }
    out->host = host;
    out->port = port;
    return true;
}

bool OpenListener(const ListenAddress& address, const SocketAccess& access, int* fd,
                  std::string* error) {
    return address.unixSocket ? OpenUnix(address, access, fd, error) : OpenTcp(address, fd, error);
}

std::vector<int> ListenersFromEnvironment() {
    std::vector<int> fds;
    const char* pid = std::getenv("LISTEN_PID");
    const char* count = std::getenv("LISTEN_FDS");
    if (pid != nullptr && count != nullptr && std::atol(pid) == static_cast<long>(getpid())) {
        long n = std::atol(count);
        for (long i = 0; i < n && i < 64; ++i) {
            int fd = 3 + static_cast<int>(i);
            if (SetFlags(fd)) fds.push_back(fd);
        }
    }
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    return fds;
}

}  // namespace mqlmtpd
