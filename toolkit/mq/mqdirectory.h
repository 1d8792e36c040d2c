// mqdirectory.h - the host's entry in the LDAP directory: host names in
// domain-component form, and the module names the entry's "modules"
// attribute lists.
//
// Texts and arrays handed out are malloc'ed and belong to the caller: free()
// for ToDC's result, FreeDomainList for a domain list.
//
// Thread safety: every function may run on several threads at once; each
// registration call uses a connection of its own.
//
// Symbol names: the functions take const char* and carry, as assembler
// labels, the names applications of the old interface (char*) link to.
#ifndef MQ_MQDIRECTORY_H
#define MQ_MQDIRECTORY_H

#include "mqtoolkit_export.h"

// "dc=alpha,dc=beta" for "alpha.beta"; null when the text holds no label.
MQTOOLKIT_EXPORT char* ToDC(const char* lpszHostname) __asm__("_Z4ToDCPc");

// The domain-component forms of the host name and of the text behind each
// of its dots, stored in *dc. Returns the number of filled slots, or -1 (with
// *dc untouched) on failure.
MQTOOLKIT_EXPORT int BreakDownDomain(const char* lpszHostname, char*** dc)
    __asm__("_Z15BreakDownDomainPcPPS_");

// Releases the first n texts of dclist, then the array.
MQTOOLKIT_EXPORT void FreeDomainList(int n, char** dclist);

// Makes sure the module name is (is not) listed in the host's entry. True
// when it already was (was not) or the directory accepted the new list;
// false on every failure (logged once): the server's settings ("Ldap" in
// "daduv.ini") unusable, no server of the list that connects (with TLS as
// the settings ask, its certificate accepted) and binds, the server
// refusing the change, no entry of class "ZUDudivor" for the host, or a new list
// longer than 511 characters (nothing is written then). The host name is
// escaped where it enters the search filter and the entry's name.
MQTOOLKIT_EXPORT bool AddModuleName(const char* lpszHostname, const char* lpszModuleName)
    __asm__("_Z13AddModuleNamePcS_");
MQTOOLKIT_EXPORT bool DelModuleName(const char* lpszHostname, const char* lpszModuleName)
    __asm__("_Z13DelModuleNamePcS_");

// What LookupHostEntry used and found. Texts end in NUL within their arrays.
struct MQHostEntry {
    char server[128];   // "Ldap" "HostName" (one server or several); "" when none is set
    int port;           // the port of a bare host (0, empty or no number: 389, or
                        // 636 with TLS = ldaps)
    char user[64];      // "Ldap" "Username"; "" binds anonymously
    int ldapResult;     // the bind's LDAP result when it was refused, else 0
    char dn[256];       // the entry's name, when found
    char modules[512];  // its "modules" values joined by ','; "" for none
};

// LookupHostEntry's results: the step that failed, in the order they run.
enum {
    MQ_HOST_FOUND = 0,
    MQ_HOST_NOT_CONFIGURED = 1,  // no server set ("Ldap" "HostName" empty)
    MQ_HOST_UNREACHABLE = 2,     // the server can't be reached
    MQ_HOST_BIND_REFUSED = 3,    // the bind was refused (entry->ldapResult)
    MQ_HOST_SEARCH_FAILED = 4,   // the search failed (the client logged why)
    MQ_HOST_NO_ENTRY = 5,        // no entry of class "ZUDudivor" for the host
    MQ_HOST_BAD_SETTING = 6      // a setting is longer than the client takes
                                 // (HostName 127, Username and Password 63
                                 // characters): refused, never cut; or TLS,
                                 // TLSVerify or AllowPlaintextPassword is none
                                 // of its names, or TLSCACertFile can't be
                                 // read (logged)
};

// Finds the host's entry as the registration calls do: the same settings,
// port rule and search filter. Fills *entry (zeroed first) with the
// settings used and, on MQ_HOST_FOUND, the entry's name and module list.
// Returns MQ_HOST_FOUND or the step that failed; a null entry gives
// MQ_HOST_NOT_CONFIGURED.
MQTOOLKIT_EXPORT int LookupHostEntry(const char* lpszHostname, MQHostEntry* entry);

// One directory server as CheckDirectoryServers found it.
struct MQServerCheck {
    char address[160];     // the URL tried ("ldaps://ldap1.example.org:636/"), or the
                           // text of the list when it is no address
    int reached;           // the connection was made
    int tls;               // TLS protects it
    int local;             // the server's address is a loopback one
    int bound;             // the bind succeeded
    int plaintextRefused;  // the password was kept back: no TLS, another machine
    int ldapResult;        // the server's result when it refused the bind, else 0
    char why[256];         // why it does not serve; "" when bound
};

// Tries every server that "HostName" lists, each on a connection of its
// own, as the registration calls would (settings, TLS, bind), and reports
// each in out[0] to out[max - 1]; servers beyond max are not tried. Returns
// the number of servers reported, 0 when none is set, or -1 when the
// settings can't be used (why, when not null, then holds the reason, cut to
// whySize). Logs a warning for each server that does not serve.
MQTOOLKIT_EXPORT int CheckDirectoryServers(MQServerCheck* out, int max, char* why, int whySize);

#endif
