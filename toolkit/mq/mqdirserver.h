// mqdirserver.h - the directory server's settings (section "Ldap" of
// "daduv.ini") and the connection to the first of its servers that serves.
//
// Settings are read afresh by every call. "HostName" may list several
// servers separated by white space; they are tried in order and the first
// that connects (with TLS as the settings ask) and binds serves the call.
//
// Thread safety: every function may run on several threads at once.
#ifndef MQ_MQDIRSERVER_H
#define MQ_MQDIRSERVER_H

#include <string>
#include <vector>

#include "ldapclient.h"

namespace mqdir {

struct Settings {
    char server[128] = "", port[16] = "", user[64] = "", password[64] = "";
    char caFile[256] = "";
    int tls = LDAP_CLIENT_TLS_NONE;
    bool verify = true;
    bool allowPlaintext = false;
    int timeoutSeconds = 5;  // the wait for each answer, 1 to 300
    // Why the settings can't be used (a value too long or not one of its
    // names, a CA file that can't be read); "" when they can.
    std::string problem;

    // Reads the settings; problem tells whether they are usable.
    Settings();

    // The servers listed, in order.
    std::vector<std::string> Servers() const;
    // The port of a bare host: Port by the port rule, whose standard port is
    // 636 when TLS is ldaps and 389 otherwise.
    int BarePort() const;
    // The client's settings for one server of the list.
    ldapServerSettings For(const std::string& server) const;
};

// Open - connects client to the first server of the list that serves,
// binding with Username and Password. Returns 0 when one serves (logging a
// warning that names each server passed over and why); otherwise logs one
// error line, prefixed with what (the operation and host), naming every
// server and why it did not serve, and returns the last bind's LDAP result
// when a server refused the credentials, else -1. REQUIRES: settings usable
// and a server set.
int Open(ldapClient& client, const Settings& settings, const std::string& what);

}  // namespace mqdir

#endif
