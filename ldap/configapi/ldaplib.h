// ldaplib.h - OpenLDAP's client library (libldap), loaded on first use.
//
// The directory client is linked into every program of the toolkit, but
// most of them (a mail system's `mqctl put` above all, one process per
// message) never talk to a directory. libldap brings its TLS, SASL and
// their crypto libraries with it: a dozen libraries and over a hundred
// system calls at every start. So the client does not link libldap; it
// opens it by its SONAME the first time a connection is made and calls it
// through the table below.
//
// Thread safety: LdapLib() may be called from any thread; the library is
// opened once per process and never closed (libldap keeps process-wide
// state and exit handlers).
#ifndef MQ_LDAPLIB_H
#define MQ_LDAPLIB_H

#include <ldap.h>
#include <openldap.h>

namespace ldaplib {

// One pointer per libldap (and liblber) function the client calls, typed
// from the library's own declarations.
struct Api {
#define MQ_LDAP_FUNCTIONS(X) \
    X(ldap_initialize)       \
    X(ldap_set_option)       \
    X(ldap_get_option)       \
    X(ldap_connect)          \
    X(ldap_init_fd)          \
    X(ldap_install_tls)      \
    X(ldap_start_tls_s)      \
    X(ldap_tls_inplace)      \
    X(ber_sockbuf_add_io)    \
    X(ldap_err2string)       \
    X(ldap_sasl_bind_s)      \
    X(ldap_search_ext_s)     \
    X(ldap_modify_ext_s)     \
    X(ldap_unbind_ext)       \
    X(ldap_first_entry)      \
    X(ldap_next_entry)       \
    X(ldap_get_dn)           \
    X(ldap_first_attribute)  \
    X(ldap_next_attribute)   \
    X(ldap_get_values_len)   \
    X(ldap_count_values_len) \
    X(ldap_value_free_len)   \
    X(ldap_memfree)          \
    X(ldap_msgfree)          \
    X(ber_free)
#define MQ_LDAP_MEMBER(name) decltype(&::name) name;
    MQ_LDAP_FUNCTIONS(MQ_LDAP_MEMBER)
#undef MQ_LDAP_MEMBER
};

// The library's table, opening the library on the first call. Returns null
// when it can't be opened or lacks a function; *why (when not null) then
// holds the loader's reason, naming the file. Later calls return the same
// result without trying again.
const Api* LdapLib(const char** why);

}  // namespace ldaplib

#endif
