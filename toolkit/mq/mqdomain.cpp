// mqdomain.cpp - host names in the directory's domain-component form.
//
// The splitting keeps its position in the call's own variables (never
// strtok's process-wide one), so the functions may run on any number of
// threads at once. Texts are built in std::string and handed out as malloc'ed
// copies, which the caller frees.
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "mqdirectory.h"

namespace {

// A malloc'ed copy of text, or null when memory is short.
char* HandOut(const std::string& text) {
    char* out = static_cast<char*>(std::malloc(text.size() + 1));
    if (out != nullptr) std::memcpy(out, text.c_str(), text.size() + 1);
    return out;
}

}  // namespace

// ToDC - "dc=" per label, comma-joined; null when no label or no memory.
char* ToDC(const char* lpszHostname) {
    if (lpszHostname == nullptr) return nullptr;
    std::string_view rest(lpszHostname);
    std::string out;
    try {
        while (!rest.empty()) {
            size_t dot = rest.find('.');
            std::string_view label = rest.substr(0, dot);
            rest = dot == std::string_view::npos ? std::string_view() : rest.substr(dot + 1);
            if (label.empty()) continue;  // doubled, leading or trailing dots
            out += out.empty() ? "dc=" : ",dc=";
            out += label;
        }
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return out.empty() ? nullptr : HandOut(out);
}

// BreakDownDomain - slot i: the form of the text behind the i-th dot. Returns
// the number of filled slots, or -1 with *dc untouched.
int BreakDownDomain(const char* lpszHostname, char*** dc) {
    if (dc == nullptr) return -1;
    const char* host = lpszHostname != nullptr ? lpszHostname : "";
    size_t dots = 0;
    for (const char* p = host; *p != '\0'; ++p) dots += *p == '.';
    char** slots = static_cast<char**>(std::calloc(dots + 1, sizeof(char*)));
    if (slots == nullptr) return -1;
    int n = 0;
    for (const char* pos = host; *pos != '\0';) {
        char* form = ToDC(pos);
        if (form == nullptr) {
            FreeDomainList(n, slots);
            return -1;
        }
        slots[n++] = form;
        const char* dot = std::strchr(pos, '.');
        if (dot == nullptr) break;
        pos = dot + 1;
    }
    *dc = slots;
    return n;
}

// FreeDomainList - free the first n texts, then the array.
void FreeDomainList(int n, char** dclist) {
    if (dclist == nullptr) return;
    for (int i = 0; i < n; ++i) std::free(dclist[i]);
    std::free(dclist);
}
