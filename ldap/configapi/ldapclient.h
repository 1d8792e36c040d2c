// ldapclient.h - ldapClient, a small synchronous LDAP client: connect, simple
// bind, search, modify, unbind.
//
// Results of a search are chains of plain records. Every chain of attrval
// records ends with a terminator: a zero-filled record whose next is null and
// which carries no attribute; readers stop at the record whose next is null
// without looking at it. An entry without attributes has the terminator
// alone. srch_free releases a whole result.
//
// Every network step is bounded by a timeout, so a dead directory server
// makes a call fail instead of hanging it: 3 seconds to connect, 5 seconds
// for the answer to each request (bind, search, modify).
//
// Records are never cut short: a search whose result holds a name longer
// than 255 characters, an attribute name longer than 63 or a value longer
// than 511 (or holding a NUL) fails as a whole, since callers write back
// what they read and a shortened or missing value would be written wrong.
//
// Every failure is logged once through LogMessage (application "ldap32")
// with libldap's error text and the server's diagnostic message.
//
// Thread safety: one client is used by one thread at a time; separate clients
// may be used on separate threads.
//
// Symbol names: callers built against the client's old declaration pass
// char* texts and link to those names; the members below take const char*
// (texts are only read) and carry the old names as assembler labels, so both
// kinds of caller link to the same functions.
#ifndef MQ_LDAPCLIENT_H
#define MQ_LDAPCLIENT_H

#include <cstdint>

#include "ldap32_export.h"

// One attribute of an entry (one value of it), or one modification.
struct attrval {
    int32_t oper;      // modification: 0 add, 1 delete, 2 replace (RFC 1823)
    char attrib[64];   // attribute name, at most 63 characters
    char value[512];   // attribute value, at most 511 characters
    attrval* next;     // next record of the chain
};

// One entry of a search result.
struct SearchReq {
    char dn[256];      // the entry's name, at most 255 characters
    attrval* attr;     // its attribute chain, ending in a terminator
    SearchReq* next;   // next entry found, or null
};

// How ldapClientOpen reaches one server and protects the connection.
enum { LDAP_CLIENT_TLS_NONE = 0, LDAP_CLIENT_TLS_STARTTLS = 1, LDAP_CLIENT_TLS_LDAPS = 2 };

struct ldapServerSettings {
    // "host", "host:port", "[v6addr]:port", "ldap://host[:port]" or
    // "ldaps://host[:port]".
    const char* server;
    int port;            // the port of a bare host (an URL's default is its scheme's)
    int tls;             // LDAP_CLIENT_TLS_*, for a bare host; an ldaps:// address is
                         // always TLS, an ldap:// one gets StartTLS unless this is NONE
    const char* caFile;  // CA certificates (PEM); null or "": the system's store
    int verifyPeer;      // non-zero: the certificate must chain to the CA and name the host
    int allowPlaintext;  // non-zero: a password may cross an unprotected connection
    int timeoutSeconds;  // the wait for each answer; 0: 5 s (at most 300)
};

// What ldapClientOpen found out about the server. Texts end in NUL.
struct ldapServerReport {
    char address[160];  // the URL connected to, "ldaps://host:636/"
    int reached;        // the connection was made
    int tls;            // TLS protects the connection
    int local;          // the server's address is a loopback one
    int bound;          // the bind succeeded
    int plaintextRefused;  // the bind was not sent: a password over an unprotected
                           // connection to another machine
    int ldapResult;     // the server's result when it refused the bind, else 0
    char why[256];      // why the server does not serve; "" when bound
};

class LDAP32_EXPORT ldapClient {
public:
    ldapClient();
    // Unbinds (see ldapClientUnbind).
    ~ldapClient();
    ldapClient(const ldapClient&) = delete;
    ldapClient& operator=(const ldapClient&) = delete;

    // Connects to the server at host and port; the connection is really made
    // here. Returns 0 when connected, non-zero on failure: host null, empty or
    // not a plain host name or address, port outside 1-65535, or the server
    // not reached in time. A connection held before is closed first.
    int ldapClientConnect(const char* host, int port)
        __asm__("_ZN10ldapClient17ldapClientConnectEPci");

    // Connects to one server and binds, in this order: the connection
    // (every address of the name in turn, 3 seconds in all), TLS as the
    // settings ask (StartTLS or TLS from the start; the certificate checked
    // unless verifyPeer is 0), then the simple bind. TLS, the answers to
    // StartTLS and the bind must all come within 5 seconds of the
    // connection, so a server that takes the connection and never answers
    // costs at most 8 seconds. A bind with a non-empty password is not sent
    // over a connection that is neither TLS nor to a loopback address unless
    // allowPlaintext is set. Returns 0 when bound; the server's LDAP result
    // when it refused the bind; -1 for every other failure (nothing was
    // sent after a failed TLS upgrade). Fills *report (zeroed first) in
    // every case. Logs nothing: the caller, which may try another server,
    // does. A connection held before is closed first.
    int ldapClientOpen(const ldapServerSettings* settings, const char* user,
                       const char* password, ldapServerReport* report);

    // Simple bind with a name and a password (empty texts bind anonymously).
    // Returns 0 when bound, non-zero on failure (the LDAP result code, e.g.
    // 49 for refused credentials; -1 when not connected).
    int ldapClientBind(const char* user, const char* password)
        __asm__("_ZN10ldapClient14ldapClientBindEPcS0_");

    // Searches below base (null: below every naming context the server's
    // root entry lists) with scope 0 base, 1 one level, 2 subtree; attrsonly
    // non-zero asks for attribute names without values (one record per
    // attribute, its value empty); a null filter matches every entry. Each
    // entry carries one attrval record per value, then the terminator.
    // Stores in *count, when count is not null, the number of entries found,
    // or -1 when the search failed. Returns the chain of entries found
    // (the last one's next is null), to be released with srch_free, or null
    // when nothing was found or the search failed.
    SearchReq* ldapClientSearch(const char* base, int scope, int attrsonly, const char* filter,
                                int* count)
        __asm__("_ZN10ldapClient16ldapClientSearchEPciiS0_Pi");

    // Applies the modification chain (up to its terminator) to entry dn, all
    // records in one request. Each record carries one value; an empty value
    // means no value at all for a replace (the attribute is removed) or a
    // delete (every value goes), since LDAP values can't be empty. Returns 0
    // when the server accepted it (also for a chain of the terminator alone,
    // which sends nothing), non-zero otherwise: the LDAP result code (e.g. 50
    // when the account may not write), or -1 when not connected or a record
    // is malformed (oper outside 0-2, texts not terminated in their arrays).
    // The chain is only read.
    int ldapClientModify(const char* dn, attrval* mods)
        __asm__("_ZN10ldapClient16ldapClientModifyEPcP7attrval");

    // Releases a search result with all its entries and records; null is
    // ignored.
    void srch_free(SearchReq* result);

    // Closes the connection; harmless on a client that is not connected,
    // however often it is called.
    void ldapClientUnbind();

private:
    void* m_ld;  // the library's connection handle, null when not connected
};

// ldapClientOpenServer - client->ldapClientOpen(settings, user, password,
// report). A free function, newer than the old interface, so that a caller
// meant to run on a site's own directory client as well can refer to it
// weakly and see whether the client it was loaded with has it.
LDAP32_EXPORT int ldapClientOpenServer(ldapClient* client, const ldapServerSettings* settings,
                                       const char* user, const char* password,
                                       ldapServerReport* report);

#endif
