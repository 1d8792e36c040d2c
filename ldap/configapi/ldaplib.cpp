// ldaplib.cpp - opens libldap by the SONAME the build found (MQ_LDAP_SONAME)
// and fills the table of the functions the directory client calls.
#include "ldaplib.h"

#include <dlfcn.h>

#include <string>

namespace ldaplib {
namespace {

struct Loaded {
    Api api{};
    bool ok = false;
    std::string why;  // the loader's reason when !ok
};

// Load - opens the library and looks up every function; on failure ok stays
// false and why names the file and the loader's reason. The handle is kept
// for the life of the process.
Loaded Load() {
    Loaded out;
    // RTLD_LOCAL: libldap's names stay out of the process's global scope, so
    // that they never stand in for another library's (liblber's ber_* among
    // them); dlsym on the handle still finds liblber's through libldap's own
    // dependencies.
    void* handle = dlopen(MQ_LDAP_SONAME, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = dlerror();
        out.why = std::string("opening ") + MQ_LDAP_SONAME + ": " +
                  (reason != nullptr ? reason : "unknown reason");
        return out;
    }
#define MQ_LDAP_LOOKUP(name)                                                       \
    out.api.name = reinterpret_cast<decltype(out.api.name)>(dlsym(handle, #name)); \
    if (out.api.name == nullptr) {                                                 \
        out.why = std::string(MQ_LDAP_SONAME) + " has no function " #name;         \
        return out;                                                                \
    }
    MQ_LDAP_FUNCTIONS(MQ_LDAP_LOOKUP)
#undef MQ_LDAP_LOOKUP
    out.ok = true;
    return out;
}

}  // namespace

// LdapLib - the table, or null with *why set; opened once per process.
const Api* LdapLib(const char** why) {
    // A function-local static: initialised once, even when threads race.
    static const Loaded loaded = Load();
    if (!loaded.ok) {
        if (why != nullptr) *why = loaded.why.c_str();
        return nullptr;
    }
    return &loaded.api;
}

}  // namespace ldaplib
