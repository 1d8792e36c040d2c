// ldapserver.h - the pieces of ldapClient::ldapClientOpen that need no
// directory: reading one server's address, connecting to it within a time
// limit, telling whether a password may cross the connection, and bounding
// every read libldap makes on it (the TLS handshake included, which
// libldap's own timeouts don't bound).
//
// Thread safety: every function may run on several threads at once; a
// ReadLimit belongs to one connection.
#ifndef MQ_LDAPSERVER_H
#define MQ_LDAPSERVER_H

#include <sys/socket.h>

#include <cstdint>
#include <string>

#include "ldaplib.h"

namespace ldapserver {

enum class Tls { kNone = 0, kStartTls = 1, kLdaps = 2 };

// One server of a list, as it will be reached.
struct Address {
    std::string host;  // name or address, without brackets
    int port = 0;
    Tls tls = Tls::kNone;
    std::string url;   // "ldap://host:port/" or "ldaps://host:port/"
};

// ParseAddress - reads "host", "host:port", "[v6]:port", "ldap://host[:port][/]"
// or "ldaps://host[:port][/]". A bare host takes barePort and bareTls; an
// URL without a port takes its scheme's standard port (389, 636). An
// ldaps:// address is always TLS from the start; an ldap:// one is upgraded
// with StartTLS unless bareTls is kNone (an address never gets less
// protection than the TLS setting asks for). Returns false with *why set
// when the text is no such address or the port is outside 1-65535.
bool ParseAddress(const std::string& text, int barePort, Tls bareTls, Address* out,
                  std::string* why);

// IsLocal - true for an address whose traffic never leaves the machine:
// 127.0.0.0/8, ::1, ::ffff:127.0.0.0/104, or a local (AF_UNIX) socket.
bool IsLocal(const sockaddr* addr);

// PasswordMayGo - whether a simple bind with this password may be sent over
// a connection that is (not) protected by TLS and (not) local.
bool PasswordMayGo(bool tls, bool local, const char* password, bool allowPlaintext);

// Connect - a blocking TCP socket connected to host:port, trying each of the
// name's addresses in turn until timeoutMs has passed in all. Returns the
// descriptor (close-on-exec; the caller owns it), with *local telling
// whether the peer is local (IsLocal); -1 with *why set on failure.
int Connect(const std::string& host, int port, int timeoutMs, bool* local, std::string* why);

// The limit on reads of one connection, kept in a layer of the connection's
// libldap socket buffer just above the socket itself: each read waits at
// most idleMs for data and never past the deadline (when set). A read
// past the limit fails (ETIMEDOUT) and sets expired. The layer owns the
// ReadLimit and frees it when libldap frees the connection.
struct ReadLimit {
    int fd = -1;
    int idleMs = 0;
    int64_t deadlineMs = 0;  // on the monotonic clock (NowMs); 0: none
    bool expired = false;
};

// AddReadLimit - puts a new ReadLimit for fd into the socket buffer of ld.
// Returns it (owned by the connection), or null when the layer can't be
// added (nothing to free then).
ReadLimit* AddReadLimit(const ldaplib::Api& lib, LDAP* ld, int fd, int idleMs);

// NowMs - the monotonic clock in milliseconds.
int64_t NowMs();

}  // namespace ldapserver

#endif
