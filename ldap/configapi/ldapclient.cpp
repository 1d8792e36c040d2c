// ldapclient.cpp - ldapClient on OpenLDAP's client library (libldap),
// which is opened at the first connection (ldaplib.h), not at the start of
// every program that links the client.
//
// Every failure is logged once here, with libldap's error text and the
// server's diagnostic message when it sent one; callers only see the result.
// ldapClientOpen is the exception: it hands its reason to the caller, which
// may go on to another server and logs once for the whole attempt.
#include "ldapclient.h"

#include <ldap.h>

#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ldaplib.h"
#include "ldapserver.h"
#include "log.h"

namespace {

const char kLogApp[] = "ldap32";

// The timeouts below are struct timeval handed to libldap, which Debian
// builds with the platform's native time_t (32 bits on i386): this file must
// not be compiled with _TIME_BITS=64 (see MQ_NATIVE_TIME in the build).
static_assert(sizeof(time_t) == sizeof(long), "libldap takes the native struct timeval");

// A dead or silent server must never hang a caller: connecting is bounded
// by kConnectSeconds, every request's wait for its answer by
// kRequestSeconds unless the settings name another wait, at most
// kMaxRequestSeconds (all in docs/registry.md).
const int kConnectSeconds = 3;
const int kRequestSeconds = 5;
const int kMaxRequestSeconds = 300;

// Lib - libldap's table. REQUIRES: a connection was made in this process
// (ldapClientConnect opened the library): every other path starts from a
// connection handle.
const ldaplib::Api& Lib() { return *ldaplib::LdapLib(nullptr); }

// A switch option's "on": libldap takes any non-null value as on.
// (LDAP_OPT_ON points into liblber, which the client doesn't link.)
const int kOptionOn = 1;

const size_t kMaxAttrib = sizeof(attrval{}.attrib) - 1;  // 63
const size_t kMaxValue = sizeof(attrval{}.value) - 1;    // 511
const size_t kMaxDn = sizeof(SearchReq{}.dn) - 1;        // 255

struct MessageFree {
    void operator()(LDAPMessage* m) const { Lib().ldap_msgfree(m); }
};
using MessagePtr = std::unique_ptr<LDAPMessage, MessageFree>;

struct MemFree {
    void operator()(char* p) const { Lib().ldap_memfree(p); }
};
using LdapText = std::unique_ptr<char, MemFree>;

struct ValuesFree {
    void operator()(berval** v) const { Lib().ldap_value_free_len(v); }
};
using ValuesPtr = std::unique_ptr<berval*, ValuesFree>;

struct BerFree {
    void operator()(BerElement* b) const { Lib().ber_free(b, 0); }
};
using BerPtr = std::unique_ptr<BerElement, BerFree>;

struct Unbind {
    void operator()(LDAP* ld) const { Lib().ldap_unbind_ext(ld, nullptr, nullptr); }
};
using LdapPtr = std::unique_ptr<LDAP, Unbind>;

LDAP* Handle(void* ld) { return static_cast<LDAP*>(ld); }

// The error text of rc, followed by the server's diagnostic message, if any.
std::string ErrorText(LDAP* ld, int rc) {
    std::string text = Lib().ldap_err2string(rc);
    char* raw = nullptr;
    if (ld != nullptr && Lib().ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &raw) == 0) {
        LdapText diag(raw);
        if (diag != nullptr && *diag != '\0') text += std::string(" (") + diag.get() + ")";
    }
    return text;
}

void Fail(const std::string& what) { LogMessage(MQLOG_ERROR, kLogApp, what.c_str()); }

void FreeChain(attrval* a) {
    while (a != nullptr) {
        attrval* next = a->next;
        std::free(a);
        a = next;
    }
}

// OutOfMemory - the one report of an exported call that ran out of memory
// (no allocation here: the log line is a literal).
void OutOfMemory() { LogMessage(MQLOG_ERROR, kLogApp, "out of memory"); }

// Entry - owns a SearchReq and its attribute chain until released.
struct EntryFree {
    void operator()(SearchReq* req) const {
        FreeChain(req->attr);
        std::free(req);
    }
};
using EntryPtr = std::unique_ptr<SearchReq, EntryFree>;

// True when host can stand in an LDAP URL as it is: a name or IPv4 address,
// or an IPv6 address (which the URL then brackets).
bool UsableHost(const char* host) {
    if (host == nullptr || *host == '\0') return false;
    for (const char* p = host; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (!std::isalnum(c) && c != '.' && c != '-' && c != '_' && c != ':') return false;
    }
    return true;
}

// Appends one record to the chain whose last real record is *tail (or
// starts it at *head). Returns the record, or null when memory is short.
attrval* Append(attrval** head, attrval** tail) {
    attrval* a = static_cast<attrval*>(std::calloc(1, sizeof(attrval)));
    if (a == nullptr) return nullptr;
    if (*tail == nullptr) {
        *head = a;
    } else {
        (*tail)->next = a;
    }
    *tail = a;
    return a;
}

// Builds the SearchReq of one entry. Returns null (having logged why) when
// memory is short, or when its name, an attribute name or a value would not
// fit its record: a value cut short or left out would be written back wrong
// by callers that replace what they read.
SearchReq* MakeEntry(LDAP* ld, LDAPMessage* entry) {
    LdapText dn(Lib().ldap_get_dn(ld, entry));
    if (dn == nullptr) {
        Fail("ldapClientSearch: entry without a name: " + ErrorText(ld, LDAP_DECODING_ERROR));
        return nullptr;
    }
    if (std::strlen(dn.get()) > kMaxDn) {
        Fail("ldapClientSearch: name of entry " + std::string(dn.get()) + " is longer than " +
             std::to_string(kMaxDn) + " characters");
        return nullptr;
    }
    EntryPtr owner(static_cast<SearchReq*>(std::calloc(1, sizeof(SearchReq))));
    SearchReq* req = owner.get();
    if (req == nullptr) {
        Fail("ldapClientSearch: out of memory");
        return nullptr;
    }
    std::strcpy(req->dn, dn.get());
    attrval* tail = nullptr;
    BerElement* rawBer = nullptr;
    bool ok = true;
    for (LdapText name(Lib().ldap_first_attribute(ld, entry, &rawBer)); ok && name != nullptr;
         name.reset(Lib().ldap_next_attribute(ld, entry, rawBer))) {
        if (std::strlen(name.get()) > kMaxAttrib) {
            Fail("ldapClientSearch: attribute name " + std::string(name.get()) + " of " + req->dn +
                 " is longer than " + std::to_string(kMaxAttrib) + " characters");
            ok = false;
            break;
        }
        ValuesPtr values(Lib().ldap_get_values_len(ld, entry, name.get()));
        size_t n = values == nullptr ? 0 : Lib().ldap_count_values_len(values.get());
        // With attrsonly (or no values) the name alone stands for the attribute.
        for (size_t i = 0; ok && i < (n == 0 ? 1 : n); ++i) {
            const berval* v = n == 0 ? nullptr : values.get()[i];
            if (v != nullptr &&
                (v->bv_len > kMaxValue || std::memchr(v->bv_val, '\0', v->bv_len) != nullptr)) {
                Fail("ldapClientSearch: a value of " + std::string(name.get()) + " of " + req->dn +
                     " is longer than " + std::to_string(kMaxValue) + " characters or holds a NUL");
                ok = false;
                break;
            }
            attrval* a = Append(&req->attr, &tail);
            if (a == nullptr) {
                Fail("ldapClientSearch: out of memory");
                ok = false;
                break;
            }
            std::strcpy(a->attrib, name.get());
            if (v != nullptr) std::memcpy(a->value, v->bv_val, v->bv_len);
        }
    }
    BerPtr ber(rawBer);
    if (ok && Append(&req->attr, &tail) == nullptr) {  // the terminator
        Fail("ldapClientSearch: out of memory");
        ok = false;
    }
    if (!ok) return nullptr;
    return owner.release();
}

}  // namespace

ldapClient::ldapClient() : m_ld(nullptr) {}

ldapClient::~ldapClient() { ldapClientUnbind(); }

// ldapClientConnect - open a connection; 0 when connected, -1 otherwise.
int ldapClient::ldapClientConnect(const char* host, int port) {
    try {
        ldapClientUnbind();
        if (!UsableHost(host)) {
            Fail(std::string("ldapClientConnect: unusable server host \"") +
                 (host != nullptr ? host : "") + "\"");
            return -1;
        }
        if (port <= 0 || port > 65535) {
            Fail("ldapClientConnect " + std::string(host) + ": port " + std::to_string(port) +
                 " is out of range");
            return -1;
        }
        const char* why = nullptr;
        if (ldaplib::LdapLib(&why) == nullptr) {
            Fail("ldapClientConnect " + std::string(host) + ": " + why);
            return -1;
        }
        bool ipv6 = std::strchr(host, ':') != nullptr;
        std::string uri = std::string("ldap://") + (ipv6 ? "[" : "") + host + (ipv6 ? "]" : "") +
                          ":" + std::to_string(port) + "/";
        LDAP* raw = nullptr;
        int rc = Lib().ldap_initialize(&raw, uri.c_str());
        LdapPtr owner(raw);
        LDAP* ld = raw;
        if (rc != LDAP_SUCCESS) {
            Fail("ldapClientConnect " + uri + ": " + Lib().ldap_err2string(rc));
            return -1;
        }
        int version = LDAP_VERSION3;
        timeval connect{kConnectSeconds, 0};
        timeval request{kRequestSeconds, 0};
        if (Lib().ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version) != LDAP_OPT_SUCCESS ||
            Lib().ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &connect) != LDAP_OPT_SUCCESS ||
            Lib().ldap_set_option(ld, LDAP_OPT_TIMEOUT, &request) != LDAP_OPT_SUCCESS ||
            // A referral would be followed with an anonymous bind elsewhere.
            Lib().ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF) != LDAP_OPT_SUCCESS ||
            Lib().ldap_set_option(ld, LDAP_OPT_RESTART, &kOptionOn) != LDAP_OPT_SUCCESS ||
            // The connection is made now, so that a dead server fails here.
            Lib().ldap_set_option(ld, LDAP_OPT_CONNECT_ASYNC, LDAP_OPT_OFF) != LDAP_OPT_SUCCESS) {
            Fail("ldapClientConnect " + uri + ": setting the connection options failed");
            return -1;
        }
        rc = Lib().ldap_connect(ld);
        if (rc != LDAP_SUCCESS) {
            Fail("ldapClientConnect " + uri + ": " + ErrorText(ld, rc));
            return -1;
        }
        m_ld = owner.release();
        return 0;
    } catch (...) {
        OutOfMemory();
        // Memory ran out: a failure like any other, never an exception
        // across the library's boundary.
        return -1;
    }
}

namespace {

// Copies text into a report's array, cut to fit.
template <size_t N>
void Put(char (&out)[N], const std::string& text) {
    size_t n = text.size() < N - 1 ? text.size() : N - 1;
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

// The time left to the deadline as a libldap timeout (at least 1 ms).
timeval Left(int64_t deadline) {
    int64_t left = deadline - ldapserver::NowMs();
    if (left < 1) left = 1;
    return timeval{static_cast<time_t>(left / 1000), static_cast<suseconds_t>(left % 1000 * 1000)};
}

// The wait for each answer the settings ask for.
int RequestSeconds(const ldapServerSettings& s) {
    if (s.timeoutSeconds <= 0) return kRequestSeconds;
    return s.timeoutSeconds < kMaxRequestSeconds ? s.timeoutSeconds : kMaxRequestSeconds;
}

// Why a step that the read limit may have cut failed.
std::string StepFailure(LDAP* ld, int rc, const ldapserver::ReadLimit* limit, int seconds,
                        const char* step) {
    if ((limit != nullptr && limit->expired) || rc == LDAP_TIMEOUT) {
        return std::string(step) + ": no answer within " + std::to_string(seconds) + " s";
    }
    return std::string(step) + ": " + ErrorText(ld, rc);
}

// The TLS options of one connection, then a context of its own made from
// them (LDAP_OPT_X_TLS_NEWCTX): the process-wide defaults of ldap.conf
// never decide what is checked.
bool SetTlsOptions(LDAP* ld, const ldapServerSettings& s, bool verify, std::string* why) {
    int require = verify ? LDAP_OPT_X_TLS_DEMAND : LDAP_OPT_X_TLS_NEVER;
    int client = 0;
    if (Lib().ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &require) != LDAP_OPT_SUCCESS ||
        (s.caFile != nullptr && *s.caFile != '\0' &&
         Lib().ldap_set_option(ld, LDAP_OPT_X_TLS_CACERTFILE, s.caFile) != LDAP_OPT_SUCCESS)) {
        *why = "setting the TLS options failed";
        return false;
    }
    int rc = Lib().ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &client);
    if (rc != LDAP_OPT_SUCCESS) {
        *why = "TLS set-up failed: " + ErrorText(ld, rc) +
               (s.caFile != nullptr && *s.caFile != '\0'
                    ? std::string(" (CA file ") + s.caFile + ")"
                    : std::string());
        return false;
    }
    return true;
}

// One connection to a server, made as far as TLS.
struct Session {
    LdapPtr ld;
    ldapserver::ReadLimit* limit = nullptr;  // owned by ld
    bool reached = false;
    bool local = false;
    bool tls = false;
};

// OpenSession - connects within connectMs and upgrades the connection to
// TLS as the address asks, the certificate checked when verify is set; the
// answers must come by deadline (0: the settings' wait after connecting).
// Returns false with *why set; nothing is sent after a failed upgrade.
bool OpenSession(const ldapserver::Address& address, const ldapServerSettings& s, bool verify,
                 int connectMs, int64_t* deadline, Session* out, std::string* why) {
    int fd = ldapserver::Connect(address.host, address.port, connectMs, &out->local, why);
    if (fd < 0) {
        *why = std::string(Lib().ldap_err2string(LDAP_SERVER_DOWN)) + " (" + *why + ")";
        return false;
    }
    out->reached = true;
    int seconds = RequestSeconds(s);
    if (*deadline == 0) *deadline = ldapserver::NowMs() + seconds * 1000;
    LDAP* raw = nullptr;
    int rc = Lib().ldap_init_fd(fd, LDAP_PROTO_TCP, address.url.c_str(), &raw);
    if (rc != LDAP_SUCCESS) {
        close(fd);
        *why = std::string("setting up the connection: ") + Lib().ldap_err2string(rc);
        return false;
    }
    out->ld.reset(raw);  // owns fd from here on
    LDAP* ld = raw;
    int version = LDAP_VERSION3;
    timeval request{seconds, 0};
    if (Lib().ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version) != LDAP_OPT_SUCCESS ||
        Lib().ldap_set_option(ld, LDAP_OPT_TIMEOUT, &request) != LDAP_OPT_SUCCESS ||
        Lib().ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF) != LDAP_OPT_SUCCESS ||
        Lib().ldap_set_option(ld, LDAP_OPT_RESTART, &kOptionOn) != LDAP_OPT_SUCCESS) {
        *why = "setting the connection options failed";
        return false;
    }
    out->limit = ldapserver::AddReadLimit(Lib(), ld, fd, seconds * 1000);
    if (out->limit == nullptr) {
        *why = "setting up the connection's read limit failed";
        return false;
    }
    out->limit->deadlineMs = *deadline;
    if (address.tls == ldapserver::Tls::kNone) return true;
    if (!SetTlsOptions(ld, s, verify, why)) return false;
    if (address.tls == ldapserver::Tls::kLdaps) {
        rc = Lib().ldap_install_tls(ld);
        if (rc != LDAP_SUCCESS) *why = StepFailure(ld, rc, out->limit, seconds, "TLS handshake");
    } else {
        timeval left = Left(*deadline);
        Lib().ldap_set_option(ld, LDAP_OPT_TIMEOUT, &left);
        rc = Lib().ldap_start_tls_s(ld, nullptr, nullptr);
        if (rc != LDAP_SUCCESS) *why = StepFailure(ld, rc, out->limit, seconds, "StartTLS");
    }
    if (rc == LDAP_SUCCESS && Lib().ldap_tls_inplace(ld) == 0) {
        rc = LDAP_LOCAL_ERROR;
        *why = "TLS is not in place after the upgrade";
    }
    out->tls = rc == LDAP_SUCCESS;
    return out->tls;
}

// RefusedCertificate - after a TLS upgrade failed with the certificate
// checked: when it succeeds unchecked, on a connection of its own closed at
// once, the certificate was the cause, and *why says so. libldap tells no
// more than "Connect error" for every certificate fault.
void RefusedCertificate(const ldapserver::Address& address, const ldapServerSettings& s,
                        int64_t deadline, std::string* why) {
    int64_t left = deadline - ldapserver::NowMs();
    if (left <= 0) return;
    Session probe;
    std::string probeWhy;
    int connectMs = static_cast<int>(left < kConnectSeconds * 1000 ? left : kConnectSeconds * 1000);
    if (!OpenSession(address, s, false, connectMs, &deadline, &probe, &probeWhy)) return;
    std::string ca = s.caFile != nullptr && *s.caFile != '\0' ? std::string("the CA in ") + s.caFile
                                                              : std::string("the system's CAs");
    *why = std::string(address.tls == ldapserver::Tls::kLdaps ? "TLS handshake" : "StartTLS") +
           ": the server's certificate was refused: it is not signed by " + ca +
           ", has expired, or does not name " + address.host + " (TLSVerify = never skips the check)";
}

}  // namespace

int ldapClientOpenServer(ldapClient* client, const ldapServerSettings* settings,
                         const char* user, const char* password, ldapServerReport* report) {
    return client->ldapClientOpen(settings, user, password, report);
}

// ldapClientOpen - connect, TLS, bind; 0 when bound (see the header).
int ldapClient::ldapClientOpen(const ldapServerSettings* settings, const char* user,
                               const char* password, ldapServerReport* report) {
    ldapServerReport scratch;
    if (report == nullptr) report = &scratch;
    std::memset(report, 0, sizeof *report);
    try {
        ldapClientUnbind();
        if (settings == nullptr || settings->server == nullptr) {
            Put(report->why, "no server given");
            return -1;
        }
        const ldapServerSettings& s = *settings;
        if (s.tls < LDAP_CLIENT_TLS_NONE || s.tls > LDAP_CLIENT_TLS_LDAPS) {
            Put(report->why, "unknown TLS mode " + std::to_string(s.tls));
            return -1;
        }
        ldapserver::Address address;
        std::string why;
        if (!ldapserver::ParseAddress(s.server, s.port, static_cast<ldapserver::Tls>(s.tls),
                                      &address, &why)) {
            Put(report->address, s.server);
            Put(report->why, why);
            return -1;
        }
        Put(report->address, address.url);
        const char* loadWhy = nullptr;
        if (ldaplib::LdapLib(&loadWhy) == nullptr) {
            Put(report->why, loadWhy);
            return -1;
        }
        Session session;
        int64_t deadline = 0;  // the answers up to the bind's must come by then
        bool opened = OpenSession(address, s, s.verifyPeer != 0, kConnectSeconds * 1000,
                                  &deadline, &session, &why);
        report->reached = session.reached ? 1 : 0;
        report->local = session.local ? 1 : 0;
        report->tls = session.tls ? 1 : 0;
        if (!opened) {
            bool tlsFailed = session.reached && session.limit != nullptr &&
                             !session.limit->expired && address.tls != ldapserver::Tls::kNone;
            session.ld.reset();
            if (tlsFailed && s.verifyPeer != 0) RefusedCertificate(address, s, deadline, &why);
            Put(report->why, why);
            return -1;
        }
        LDAP* ld = session.ld.get();
        if (!ldapserver::PasswordMayGo(session.tls, session.local, password,
                                       s.allowPlaintext != 0)) {
            report->plaintextRefused = 1;
            Put(report->why,
                "the password is not sent unencrypted to another machine: set TLS = starttls "
                "or ldaps (or AllowPlaintextPassword = yes) in section [Ldap]");
            return -1;
        }
        std::string pass = password != nullptr ? password : "";
        berval cred{static_cast<ber_len_t>(pass.size()), pass.data()};
        timeval left = Left(deadline);
        Lib().ldap_set_option(ld, LDAP_OPT_TIMEOUT, &left);
        int rc = Lib().ldap_sasl_bind_s(ld, user != nullptr ? user : "", LDAP_SASL_SIMPLE, &cred,
                                        nullptr, nullptr, nullptr);
        if (rc != LDAP_SUCCESS) {
            std::string as = user != nullptr && *user != '\0' ? user : "anonymous";
            Put(report->why, StepFailure(ld, rc, session.limit, RequestSeconds(s),
                                         ("bind as " + as).c_str()));
            if (rc > 0) report->ldapResult = rc;
            return rc > 0 ? rc : -1;
        }
        // Bound: from here each read waits at most the request timeout,
        // which the searches and modifications take from the connection.
        session.limit->deadlineMs = 0;
        timeval request{RequestSeconds(s), 0};
        Lib().ldap_set_option(ld, LDAP_OPT_TIMEOUT, &request);
        report->bound = 1;
        m_ld = session.ld.release();
        return 0;
    } catch (...) {
        // Memory ran out: a failure like any other.
        Put(report->why, "out of memory");
        return -1;
    }
}

// ldapClientBind - simple bind; 0 when bound, the LDAP result code otherwise.
int ldapClient::ldapClientBind(const char* user, const char* password) {
    try {
        LDAP* ld = Handle(m_ld);
        if (ld == nullptr) {
            Fail("ldapClientBind: not connected");
            return -1;
        }
        std::string pass = password != nullptr ? password : "";
        berval cred{static_cast<ber_len_t>(pass.size()), pass.data()};
        int rc = Lib().ldap_sasl_bind_s(ld, user != nullptr ? user : "", LDAP_SASL_SIMPLE, &cred,
                                        nullptr, nullptr, nullptr);
        if (rc != LDAP_SUCCESS) {
            Fail("ldapClientBind " + std::string(user != nullptr ? user : "") + ": " +
                 ErrorText(ld, rc));
            return rc;
        }
        return 0;
    } catch (...) {
        OutOfMemory();
        // Memory ran out: a failure like any other, never an exception
        // across the library's boundary.
        return -1;
    }
}

namespace {

// The naming contexts the server's root entry lists; false (logged) when
// the root entry can't be read.
bool NamingContexts(LDAP* ld, std::vector<std::string>* out) {
    char attr[] = "namingContexts";
    char* attrs[] = {attr, nullptr};
    LDAPMessage* raw = nullptr;
    // No timeout here: the connection's own (LDAP_OPT_TIMEOUT) bounds it.
    int rc = Lib().ldap_search_ext_s(ld, "", LDAP_SCOPE_BASE, "(objectClass=*)", attrs, 0, nullptr,
                                     nullptr, nullptr, 0, &raw);
    MessagePtr result(raw);
    if (rc != LDAP_SUCCESS) {
        Fail("ldapClientSearch: reading the root entry's naming contexts: " + ErrorText(ld, rc));
        return false;
    }
    LDAPMessage* entry = Lib().ldap_first_entry(ld, result.get());
    if (entry == nullptr) return true;
    ValuesPtr values(Lib().ldap_get_values_len(ld, entry, attr));
    size_t n = values == nullptr ? 0 : Lib().ldap_count_values_len(values.get());
    for (size_t i = 0; i < n; ++i)
        out->emplace_back(values.get()[i]->bv_val, values.get()[i]->bv_len);
    return true;
}

// Appends the entries found below one base to the chain ending at *tail.
// Returns false (logged) on failure; a base that does not exist finds nothing.
bool SearchOne(LDAP* ld, const char* base, int scope, int attrsonly, const char* filter,
               SearchReq** head, SearchReq** tail, int* found) {
    LDAPMessage* raw = nullptr;
    int rc = Lib().ldap_search_ext_s(ld, base, scope, filter, nullptr, attrsonly, nullptr, nullptr,
                                     nullptr, LDAP_NO_LIMIT, &raw);
    MessagePtr result(raw);
    if (rc == LDAP_NO_SUCH_OBJECT) return true;
    if (rc != LDAP_SUCCESS) {
        Fail("ldapClientSearch " + std::string(base) + " " + filter + ": " + ErrorText(ld, rc));
        return false;
    }
    for (LDAPMessage* e = Lib().ldap_first_entry(ld, result.get()); e != nullptr;
         e = Lib().ldap_next_entry(ld, e)) {
        SearchReq* req = MakeEntry(ld, e);
        if (req == nullptr) return false;
        if (*tail == nullptr) {
            *head = req;
        } else {
            (*tail)->next = req;
        }
        *tail = req;
        ++*found;
    }
    return true;
}

}  // namespace

// ldapClientSearch - entries found, or null; *count -1 when the search failed.
SearchReq* ldapClient::ldapClientSearch(const char* base, int scope, int attrsonly,
                                        const char* filter, int* count) {
    if (count != nullptr) *count = -1;
    LDAP* ld = Handle(m_ld);
    if (ld == nullptr) {
        Fail("ldapClientSearch: not connected");
        return nullptr;
    }
    if (scope != LDAP_SCOPE_BASE && scope != LDAP_SCOPE_ONELEVEL && scope != LDAP_SCOPE_SUBTREE) {
        LogMessagef(MQLOG_ERROR, kLogApp, "ldapClientSearch: unknown scope %d", scope);
        return nullptr;
    }
    const char* what = filter != nullptr ? filter : "(objectClass=*)";
    SearchReq* head = nullptr;
    SearchReq* tail = nullptr;
    int found = 0;
    try {
        std::vector<std::string> bases;
        if (base != nullptr) {
            bases.emplace_back(base);
        } else if (!NamingContexts(ld, &bases)) {
            return nullptr;
        }
        for (const std::string& b : bases) {
            if (!SearchOne(ld, b.c_str(), scope, attrsonly, what, &head, &tail, &found)) {
                srch_free(head);
                return nullptr;
            }
        }
    } catch (...) {
        // Memory ran out: a failure like any other, never an exception
        // across the library's boundary.
        srch_free(head);
        OutOfMemory();
        return nullptr;
    }
    if (count != nullptr) *count = found;
    return head;
}

// ldapClientModify - 0 when the server accepted the chain, non-zero otherwise.
int ldapClient::ldapClientModify(const char* dn, attrval* mods) {
    try {
        LDAP* ld = Handle(m_ld);
        if (ld == nullptr || dn == nullptr) {
            Fail(ld == nullptr ? "ldapClientModify: not connected"
                               : "ldapClientModify: no entry name");
            return -1;
        }
        // One LDAPMod per record up to, not including, the terminator. An empty
        // value asks a replace or a delete for no values at all (LDAP values
        // can't be empty): replace removes the attribute, delete removes all.
        std::vector<LDAPMod> parts;
        std::vector<berval> vals;
        for (attrval* a = mods; a != nullptr && a->next != nullptr; a = a->next) {
            if (strnlen(a->attrib, sizeof a->attrib) > kMaxAttrib || a->attrib[0] == '\0' ||
                strnlen(a->value, sizeof a->value) > kMaxValue || a->oper < 0 || a->oper > 2) {
                Fail(std::string("ldapClientModify ") + dn + ": malformed modification record");
                return -1;
            }
            vals.push_back({strnlen(a->value, sizeof a->value), a->value});
        }
        if (vals.empty()) return 0;                            // nothing to apply
        std::vector<berval*> lists(vals.size() * 2, nullptr);  // {value, null} per record
        parts.resize(vals.size());
        size_t i = 0;
        for (attrval* a = mods; a->next != nullptr; a = a->next, ++i) {
            static const int kOps[] = {LDAP_MOD_ADD, LDAP_MOD_DELETE, LDAP_MOD_REPLACE};
            parts[i].mod_op = kOps[a->oper] | LDAP_MOD_BVALUES;
            parts[i].mod_type = a->attrib;
            bool none = vals[i].bv_len == 0 && a->oper != 0;
            lists[2 * i] = &vals[i];
            parts[i].mod_bvalues = none ? nullptr : &lists[2 * i];
        }
        std::vector<LDAPMod*> list;
        for (LDAPMod& m : parts) list.push_back(&m);
        list.push_back(nullptr);
        int rc = Lib().ldap_modify_ext_s(ld, dn, list.data(), nullptr, nullptr);
        if (rc != LDAP_SUCCESS) {
            Fail(std::string("ldapClientModify ") + dn + ": " + ErrorText(ld, rc));
            return rc;
        }
        return 0;
    } catch (...) {
        OutOfMemory();
        // Memory ran out: a failure like any other, never an exception
        // across the library's boundary.
        return -1;
    }
}

void ldapClient::srch_free(SearchReq* result) {
    while (result != nullptr) {
        SearchReq* next = result->next;
        FreeChain(result->attr);
        std::free(result);
        result = next;
    }
}

void ldapClient::ldapClientUnbind() {
    if (m_ld == nullptr) return;
    Lib().ldap_unbind_ext(Handle(m_ld), nullptr, nullptr);
    m_ld = nullptr;
}
