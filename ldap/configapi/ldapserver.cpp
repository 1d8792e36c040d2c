// ldapserver.cpp - addresses, connecting within a time limit, and the read
// limit layer of a connection.
#include "ldapserver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace ldapserver {
namespace {

const int kLdapPort = 389;
const int kLdapsPort = 636;

// A name or an address: what can stand in an URL unescaped (':' for IPv6,
// which the URL then brackets).
bool UsableHost(const std::string& host) {
    if (host.empty()) return false;
    for (unsigned char c : host) {
        if (!std::isalnum(c) && c != '.' && c != '-' && c != '_' && c != ':') return false;
    }
    return true;
}

// The port text of an address: digits only, 1-65535.
bool ReadPort(const std::string& text, int* port, std::string* why) {
    bool digits = !text.empty() && text.size() <= 5;
    for (unsigned char c : text) digits = digits && std::isdigit(c);
    long value = digits ? std::strtol(text.c_str(), nullptr, 10) : 0;
    if (value < 1 || value > 65535) {
        *why = "port " + text + " is out of range";
        return false;
    }
    *port = static_cast<int>(value);
    return true;
}

}  // namespace

bool ParseAddress(const std::string& text, int barePort, Tls bareTls, Address* out,
                  std::string* why) {
    *out = Address();
    std::string rest = text;
    bool url = false;
    Tls tls = bareTls;
    int port = barePort;
    if (rest.compare(0, 8, "ldaps://") == 0) {
        url = true;
        tls = Tls::kLdaps;
        port = kLdapsPort;
        rest.erase(0, 8);
    } else if (rest.compare(0, 7, "ldap://") == 0) {
        url = true;
        tls = bareTls == Tls::kNone ? Tls::kNone : Tls::kStartTls;
        port = kLdapPort;
        rest.erase(0, 7);
    } else if (rest.find("://") != std::string::npos) {
        *why = "\"" + text + "\" is no ldap:// or ldaps:// address";
        return false;
    }
    if (url && !rest.empty() && rest.back() == '/') rest.pop_back();
    std::string host = rest;
    std::string portText;
    bool hasPort = false;
    if (!rest.empty() && rest[0] == '[') {
        size_t close = rest.find(']');
        std::string after = close == std::string::npos ? "" : rest.substr(close + 1);
        if (close == std::string::npos || (!after.empty() && after[0] != ':')) {
            *why = "\"" + text + "\" is no server address";
            return false;
        }
        host = rest.substr(1, close - 1);
        hasPort = !after.empty();
        if (hasPort) portText = after.substr(1);
    } else if (std::count(rest.begin(), rest.end(), ':') == 1) {
        // Several colons without brackets: an IPv6 address alone.
        size_t colon = rest.find(':');
        host = rest.substr(0, colon);
        portText = rest.substr(colon + 1);
        hasPort = true;
    }
    if (!UsableHost(host)) {
        *why = "\"" + text + "\" is no server address";
        return false;
    }
    if (hasPort && !ReadPort(portText, &port, why)) return false;
    if (port < 1 || port > 65535) {
        *why = "port " + std::to_string(port) + " is out of range";
        return false;
    }
    bool v6 = host.find(':') != std::string::npos;
    out->host = host;
    out->port = port;
    out->tls = tls;
    out->url = std::string(tls == Tls::kLdaps ? "ldaps://" : "ldap://") + (v6 ? "[" : "") + host +
               (v6 ? "]" : "") + ":" + std::to_string(port) + "/";
    return true;
}

bool IsLocal(const sockaddr* addr) {
    if (addr == nullptr) return false;
    if (addr->sa_family == AF_UNIX) return true;
    if (addr->sa_family == AF_INET) {
        const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(addr);
        return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
    }
    if (addr->sa_family == AF_INET6) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr;
        if (IN6_IS_ADDR_LOOPBACK(&a)) return true;
        return IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127;
    }
    return false;
}

bool PasswordMayGo(bool tls, bool local, const char* password, bool allowPlaintext) {
    bool empty = password == nullptr || *password == '\0';
    return empty || tls || local || allowPlaintext;
}

int64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

namespace {

// ConnectOne - one address within the time left; the descriptor or -1 with
// *why set.
int ConnectOne(const addrinfo* ai, int64_t deadline, std::string* why) {
    char name[INET6_ADDRSTRLEN] = "?";
    const void* raw = ai->ai_family == AF_INET6
                          ? static_cast<const void*>(
                                &reinterpret_cast<const sockaddr_in6*>(ai->ai_addr)->sin6_addr)
                          : static_cast<const void*>(
                                &reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr);
    inet_ntop(ai->ai_family, raw, name, sizeof name);
    int fd = socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *why = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    int err = 0;
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
        err = errno;
        while (err == EINPROGRESS || err == EINTR) {
            int64_t left = deadline - NowMs();
            if (left <= 0) {
                err = ETIMEDOUT;
                break;
            }
            pollfd p{fd, POLLOUT, 0};
            int n = poll(&p, 1, static_cast<int>(left));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                err = n == 0 ? ETIMEDOUT : errno;
                break;
            }
            socklen_t len = sizeof err;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
            break;
        }
    }
    if (err == 0) {
        int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) err = errno;
    }
    if (err != 0) {
        *why = std::string("connect to ") + name + ": " + std::strerror(err);
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int Connect(const std::string& host, int port, int timeoutMs, bool* local, std::string* why) {
    *local = false;
    int64_t deadline = NowMs() + timeoutMs;
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_family = AF_UNSPEC;
    // A numeric address needs no look-up: connected straight away, with no
    // allocation (the C library's getaddrinfo leaks what it had built when
    // one of its allocations fails).
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    addrinfo numeric{};
    numeric.ai_socktype = SOCK_STREAM;
    if (inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(static_cast<uint16_t>(port));
        numeric.ai_family = AF_INET;
        numeric.ai_addr = reinterpret_cast<sockaddr*>(&v4);
        numeric.ai_addrlen = sizeof v4;
    } else if (inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<uint16_t>(port));
        numeric.ai_family = AF_INET6;
        numeric.ai_addr = reinterpret_cast<sockaddr*>(&v6);
        numeric.ai_addrlen = sizeof v6;
    }
    if (numeric.ai_addr != nullptr) {
        int fd = ConnectOne(&numeric, deadline, why);
        if (fd >= 0) *local = IsLocal(numeric.ai_addr);
        return fd;
    }
    addrinfo* found = nullptr;
    std::string service = std::to_string(port);
    int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0) {
        *why = "looking up " + host + ": " + gai_strerror(rc);
        return -1;
    }
    int fd = -1;
    for (const addrinfo* ai = found; ai != nullptr && fd < 0; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
        if (NowMs() >= deadline) {
            *why = "no connection within " + std::to_string(timeoutMs / 1000) + " s";
            break;
        }
        fd = ConnectOne(ai, deadline, why);
        if (fd >= 0) *local = IsLocal(ai->ai_addr);
    }
    freeaddrinfo(found);
    return fd;
}

namespace {

// The layer's functions. Reads wait (poll) for data within the limit
// before the layer below reads; everything else passes through.
int LimitSetup(Sockbuf_IO_Desc* sbiod, void* arg) {
    sbiod->sbiod_pvt = arg;
    return 0;
}

int LimitRemove(Sockbuf_IO_Desc* sbiod) {
    delete static_cast<ReadLimit*>(sbiod->sbiod_pvt);
    sbiod->sbiod_pvt = nullptr;
    return 0;
}

int LimitCtrl(Sockbuf_IO_Desc* sbiod, int opt, void* arg) {
    return LBER_SBIOD_CTRL_NEXT(sbiod, opt, arg);
}

ber_slen_t LimitRead(Sockbuf_IO_Desc* sbiod, void* buf, ber_len_t len) {
    ReadLimit* limit = static_cast<ReadLimit*>(sbiod->sbiod_pvt);
    // Data a layer below holds already is read without waiting.
    if (limit != nullptr && LBER_SBIOD_CTRL_NEXT(sbiod, LBER_SB_OPT_DATA_READY, nullptr) <= 0) {
        int64_t start = NowMs();
        for (;;) {
            int64_t now = NowMs();
            int64_t left = start + limit->idleMs - now;
            if (limit->deadlineMs > 0 && limit->deadlineMs - now < left) {
                left = limit->deadlineMs - now;
            }
            if (left <= 0) {
                limit->expired = true;
                errno = ETIMEDOUT;
                return -1;
            }
            pollfd p{limit->fd, POLLIN, 0};
            int n = poll(&p, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
            if (n > 0) break;
            if (n < 0 && errno != EINTR) return -1;
        }
    }
    return LBER_SBIOD_READ_NEXT(sbiod, buf, len);
}

ber_slen_t LimitWrite(Sockbuf_IO_Desc* sbiod, void* buf, ber_len_t len) {
    return LBER_SBIOD_WRITE_NEXT(sbiod, buf, len);
}

Sockbuf_IO kLimitIo = {LimitSetup, LimitRemove, LimitCtrl, LimitRead, LimitWrite, nullptr};

}  // namespace

ReadLimit* AddReadLimit(const ldaplib::Api& lib, LDAP* ld, int fd, int idleMs) {
    Sockbuf* sb = nullptr;
    if (lib.ldap_get_option(ld, LDAP_OPT_SOCKBUF, &sb) != LDAP_OPT_SUCCESS || sb == nullptr) {
        return nullptr;
    }
    ReadLimit* limit = new ReadLimit;
    limit->fd = fd;
    limit->idleMs = idleMs;
    // At the provider's level, so above the socket and below TLS.
    if (lib.ber_sockbuf_add_io(sb, &kLimitIo, LBER_SBIOD_LEVEL_PROVIDER, limit) != 0) {
        delete limit;
        return nullptr;
    }
    return limit;
}

}  // namespace ldapserver
