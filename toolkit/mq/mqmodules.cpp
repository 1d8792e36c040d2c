// mqmodules.cpp - AddModuleName and DelModuleName: the "modules" list of a
// host's directory entry.
//
// Every call stands alone: it reads the server's settings from "daduv.ini",
// connects, binds, finds the host's entry, computes the new list and
// replaces the attribute with it. The host name is escaped wherever it goes
// into the directory's syntax (RFC 4515 in the filter, RFC 4514 in the
// entry's name), so a host name can never widen the search or name another
// entry; ordinary host names need no escape and pass unchanged.
//
// The read and the replacement are two requests: a change another writer
// makes between them is overwritten (the channel registry serialises its
// own callers).
//
// Failures up to the bind are logged once by FindHost (mqdirserver.h: the
// servers of the list, TLS, the password rule), those of the search and the
// modification once by the client, the failures found here here.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ldapclient.h"
#include "log.h"
#include "mqdirectory.h"
#include "mqdirserver.h"
#include "profile.h"

namespace {

const char kLogApp[] = "API_MQ";
const char kIniFile[] = "daduv.ini";
const char kModules[] = "modules";
const size_t kMaxList = sizeof(attrval{}.value) - 1;  // 511
const int kReplace = 2;                                 // RFC 1823 numbering

void Fail(const char* op, const char* host, const std::string& why) {
    LogMessage(MQLOG_ERROR, kLogApp, (std::string(op) + " " + host + ": " + why).c_str());
}

// The non-empty pieces of a comma-separated list, in order. Views into list.
std::vector<std::string_view> Pieces(std::string_view list) {
    std::vector<std::string_view> out;
    while (!list.empty()) {
        size_t comma = list.find(',');
        std::string_view piece = list.substr(0, comma);
        if (!piece.empty()) out.push_back(piece);
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return out;
}

// Module names are equal regardless of letter case, as strcasecmp compares.
bool SameName(std::string_view piece, const char* name) {
    return piece.size() == std::strlen(name) && strncasecmp(piece.data(), name, piece.size()) == 0;
}

// RFC 4515: a filter value with '*', '(', ')' and '\' written as \hh (a C
// text holds no NUL, the fifth character the RFC names).
std::string EscapeFilterValue(std::string_view value) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (char c : value) {
        if (c == '*' || c == '(' || c == ')' || c == '\\') {
            unsigned char u = static_cast<unsigned char>(c);
            out += '\\';
            out += kHex[u >> 4];
            out += kHex[u & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

// RFC 4514: an attribute value of a name with its special characters
// backslash-escaped: ",+\"\\<>;" anywhere, '#' or ' ' in front, ' ' at the
// end.
std::string EscapeDnValue(std::string_view value) {
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        bool special = std::strchr(",+\"\\<>;", c) != nullptr;
        bool edge = (i == 0 && (c == '#' || c == ' ')) || (i + 1 == value.size() && c == ' ');
        if (special || edge) out += '\\';
        out += c;
    }
    return out;
}

// The host name with each label escaped as a name value, the dots kept, so
// that its domain-component form is a well-formed name.
std::string EscapeLabels(std::string_view host) {
    std::string out;
    for (;;) {
        size_t dot = host.find('.');
        out += EscapeDnValue(host.substr(0, dot));
        if (dot == std::string_view::npos) return out;
        out += '.';
        host.remove_prefix(dot + 1);
    }
}

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// A search result that goes back to its client.
class Result {
public:
    Result(ldapClient& client, SearchReq* req) : client_(client), req_(req) {}
    ~Result() { client_.srch_free(req_); }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    SearchReq* get() const { return req_; }

private:
    ldapClient& client_;
    SearchReq* req_;
};

// The "modules" values of the first entry, in chain order.
std::vector<std::string> ModulesValues(const SearchReq* entry) {
    std::vector<std::string> out;
    for (const attrval* a = entry->attr; a != nullptr && a->next != nullptr; a = a->next) {
        if (strcasecmp(a->attrib, kModules) == 0) out.emplace_back(a->value);
    }
    return out;
}

// The list step: from the stored values, the new list; false when nothing
// needs writing.
using ListStep = bool (*)(const std::vector<std::string>& values, const char* name,
                          std::string* list);

// Add: the name when missing, appended to the last modules value.
bool AddStep(const std::vector<std::string>& values, const char* name, std::string* list) {
    bool found = false;
    std::string work;
    for (const std::string& value : values) {
        work = value;
        for (std::string_view piece : Pieces(work)) {
            if (SameName(piece, name)) {
                found = true;
                break;
            }
        }
    }
    if (found) return false;
    *list = work.empty() ? std::string(name) : work + "," + name;
    return true;
}

// Del: the pieces of all modules values but those equal to the name.
bool DelStep(const std::vector<std::string>& values, const char* name, std::string* list) {
    bool found = false;
    list->clear();
    for (const std::string& value : values) {
        for (std::string_view piece : Pieces(value)) {
            if (SameName(piece, name)) {
                found = true;
                continue;
            }
            if (!list->empty()) *list += ',';
            *list += piece;
        }
    }
    return found;
}

// FindHost - connects to the first server of the settings that serves,
// and searches the host's entry. Returns MQ_HOST_FOUND with *found holding
// the entry, or the step that failed (*bindResult: the bind's LDAP result
// when it was refused). Every failure up to the search is logged here, once,
// prefixed with op and the host.
int FindHost(ldapClient& client, const mqdir::Settings& settings, const char* op,
             const char* host, SearchReq** found, int* bindResult) {
    *found = nullptr;
    *bindResult = 0;
    std::string what = std::string(op) + " " + host;
    if (!settings.problem.empty()) {
        LogMessage(MQLOG_ERROR, kLogApp, (what + ": " + settings.problem).c_str());
        return MQ_HOST_BAD_SETTING;
    }
    if (settings.Servers().empty()) return MQ_HOST_NOT_CONFIGURED;
    int rc = mqdir::Open(client, settings, what);
    if (rc > 0) {
        *bindResult = rc;
        return MQ_HOST_BIND_REFUSED;
    }
    if (rc != 0) return MQ_HOST_UNREACHABLE;
    std::string filter = "(&(objectclass=ZUDudivor)(host=" + EscapeFilterValue(host) + "))";
    int count = 0;
    *found = client.ldapClientSearch(nullptr, 2, 0, filter.c_str(), &count);
    if (*found != nullptr) return MQ_HOST_FOUND;
    return count < 0 ? MQ_HOST_SEARCH_FAILED : MQ_HOST_NO_ENTRY;
}

bool Change(const char* op, const char* lpszHostname, const char* lpszModuleName, ListStep step) {
    if (lpszHostname == nullptr || lpszModuleName == nullptr) {
        LogMessage(MQLOG_ERROR, kLogApp, (std::string(op) + ": null host or module name").c_str());
        return false;
    }
    try {
        ldapClient client;
        mqdir::Settings settings;
        SearchReq* req = nullptr;
        int bindResult = 0;
        int rc = FindHost(client, settings, op, lpszHostname, &req, &bindResult);
        Result found(client, req);
        // Failures up to the search were logged by FindHost, those of the
        // search by the client.
        if (rc == MQ_HOST_NOT_CONFIGURED) {
            Fail(op, lpszHostname,
                 std::string("no directory server set (HostName in section [Ldap] of ") +
                     kIniFile + " is empty); without one, write queue.cfg by hand");
        } else if (rc == MQ_HOST_NO_ENTRY) {
            Fail(op, lpszHostname, "no directory entry of class ZUDudivor");
        }
        if (rc != MQ_HOST_FOUND) return false;

        std::string list;
        if (!step(ModulesValues(found.get()), lpszModuleName, &list)) return true;
        if (list.size() > kMaxList) {
            Fail(op, lpszHostname,
                 "the module list would be " + std::to_string(list.size()) +
                     " characters long, more than " + std::to_string(kMaxList));
            return false;
        }

        std::unique_ptr<attrval, FreeDeleter> mod(
            static_cast<attrval*>(std::calloc(1, sizeof(attrval))));
        std::unique_ptr<attrval, FreeDeleter> end(
            static_cast<attrval*>(std::calloc(1, sizeof(attrval))));
        if (mod == nullptr || end == nullptr) {
            Fail(op, lpszHostname, "out of memory");
            return false;
        }
        mod->oper = kReplace;
        std::strcpy(mod->attrib, kModules);
        std::memcpy(mod->value, list.c_str(), list.size() + 1);
        mod->next = end.get();

        char** dc = nullptr;
        int n = BreakDownDomain(EscapeLabels(lpszHostname).c_str(), &dc);
        if (n <= 0) {
            if (n == 0) FreeDomainList(0, dc);
            Fail(op, lpszHostname, "the host name has no domain components");
            return false;
        }
        std::string dn;
        try {
            dn = "host=" + EscapeDnValue(lpszHostname) + "," + dc[0];
        } catch (...) {
            FreeDomainList(n, dc);
            throw;
        }
        FreeDomainList(n, dc);
        return client.ldapClientModify(dn.c_str(), mod.get()) == 0;
    } catch (...) {
        // Memory ran out: logged without allocating.
        LogMessage(MQLOG_ERROR, kLogApp, "out of memory");
        return false;
    }
}

}  // namespace

// AddModuleName - true when listed already or the directory took the list.
bool AddModuleName(const char* lpszHostname, const char* lpszModuleName) {
    return Change("AddModuleName", lpszHostname, lpszModuleName, AddStep);
}

// DelModuleName - true when not listed or the directory took the list.
bool DelModuleName(const char* lpszHostname, const char* lpszModuleName) {
    return Change("DelModuleName", lpszHostname, lpszModuleName, DelStep);
}

// LookupHostEntry - the settings used, and the entry's name and modules when
// found; the step that failed otherwise.
int LookupHostEntry(const char* lpszHostname, MQHostEntry* entry) {
    if (entry == nullptr) return MQ_HOST_NOT_CONFIGURED;
    *entry = MQHostEntry();
    try {
        mqdir::Settings settings;
        std::snprintf(entry->server, sizeof entry->server, "%s", settings.server);
        std::snprintf(entry->user, sizeof entry->user, "%s", settings.user);
        entry->port = settings.BarePort();
        ldapClient client;
        SearchReq* req = nullptr;
        int rc = FindHost(client, settings, "LookupHostEntry",
                          lpszHostname != nullptr ? lpszHostname : "", &req, &entry->ldapResult);
        Result found(client, req);
        if (rc != MQ_HOST_FOUND) return rc;
        std::snprintf(entry->dn, sizeof entry->dn, "%s", req->dn);
        std::string list;
        for (const std::string& value : ModulesValues(req)) {
            if (!list.empty() && !value.empty()) list += ',';
            list += value;
        }
        std::snprintf(entry->modules, sizeof entry->modules, "%s", list.c_str());
        return MQ_HOST_FOUND;
    } catch (const std::bad_alloc&) {
        Fail("LookupHostEntry", lpszHostname != nullptr ? lpszHostname : "", "out of memory");
        return MQ_HOST_SEARCH_FAILED;
    }
}
