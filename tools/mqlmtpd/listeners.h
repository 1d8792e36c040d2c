// listeners.h - the server's listening sockets: parsed from --listen, made
// and bound here, or handed over by the service manager (LISTEN_FDS).
//
// "unix:PATH" is a stream socket at PATH (a stale socket there is replaced,
// any other file refused), given the mode, owner and group asked for;
// "HOST:PORT" ("[v6]:PORT" for IPv6) is TCP on that address, and a bare
// "PORT" or ":PORT" is TCP on 127.0.0.1 only, so that nothing is reachable
// from outside the host unless an address is named.
//
// Failures return false with *error, "operation what: strerror".
// Thread safety: none (ListenersFromEnvironment changes the environment).
#ifndef MQLMTPD_LISTENERS_H
#define MQLMTPD_LISTENERS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace mqlmtpd {

struct ListenAddress {
    bool unixSocket = false;
    std::string path;  // unix
    std::string host;  // TCP: a numeric address
    std::string port;
};

struct SocketAccess {
    mode_t mode = 0660;
    uid_t owner = static_cast<uid_t>(-1);  // -1: unchanged
    gid_t group = static_cast<gid_t>(-1);
};

bool ParseListen(const std::string& text, ListenAddress* out, std::string* error);

// Opens address as a listening socket (close-on-exec, non-blocking) into *fd.
bool OpenListener(const ListenAddress& address, const SocketAccess& access, int* fd,
                  std::string* error);

// The sockets the service manager passed (LISTEN_FDS/LISTEN_PID naming
// this process), from descriptor 3 on, made close-on-exec and non-blocking;
// the variables are removed so that no child takes them for its own.
std::vector<int> ListenersFromEnvironment();

}  // namespace mqlmtpd

#endif
