// mqmessage.cpp - users, envelope headers and messages.
//
// Setters own what they store: each replaces (and frees) the copy made
// before, so calling one twice does not leak. A failed copy leaves the field
// as it was.
#include "mqmessage.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log.h"
#include "mqresult.h"

namespace {

const char kLogApp[] = "API_MQ";
const int kDisplayLevel = 5;
const size_t kDisplayLine = 256;

// Replaces *field by a copy of text (null clears it). Returns false, leaving
// *field as it was, when the copy can't be made.
bool ReplaceCopy(char** field, const char* text) {
    char* copy = nullptr;
    if (text != nullptr) {
        copy = strdup(text);
        if (copy == nullptr) return false;
    }
    std::free(*field);
    *field = copy;
    return true;
}

// isalpha in the POSIX locale, whatever locale the process runs in.
bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

// CheckLanAddress - the address check; the rules are applied in this order
// and the first one that fails decides.
int CheckLanAddress(const char* s) {
    if (s == nullptr || s[0] == '\0') return MQ_ERR_BAD_ADDRESS;
    if (std::strchr(s, ' ') != nullptr) return MQ_ERR_BAD_ADDRESS;
    if (s[0] == '<' && s[1] == '>') return MQ_SUCCESS;  // the null address
    if (!IsAsciiLetter(s[0])) return MQ_ERR_BAD_ADDRESS;

    const char* at = std::strchr(s, '@');
    if (at == nullptr || !IsAsciiLetter(at[1])) return MQ_ERR_BAD_ADDRESS;

    // The first dot is searched from the start: it may stand before the '@'.
    const char* dot = std::strchr(s, '.');
    if (dot == nullptr || !IsAsciiLetter(dot[1])) return MQ_ERR_BAD_ADDRESS;
    const char* second = std::strchr(dot + 1, '.');
    if (second != nullptr && !IsAsciiLetter(second[1])) return MQ_ERR_BAD_ADDRESS;
    return MQ_SUCCESS;
}

cUserInfo::cUserInfo() : name(nullptr), lan_addr(nullptr), queue(nullptr) {}

cUserInfo::~cUserInfo() {
    std::free(name);
    std::free(lan_addr);
    std::free(queue);
}

int cUserInfo::setName(const char* text) {
    return ReplaceCopy(&name, text) ? MQ_SUCCESS : MQ_ERR_NO_MEMORY;
}

int cUserInfo::setQueueName(const char* text) {
    return ReplaceCopy(&queue, text) ? MQ_SUCCESS : MQ_ERR_NO_MEMORY;
}

int cUserInfo::setLan_addr(const char* text) {
    if (CheckLanAddress(text) != MQ_SUCCESS) return MQ_ERR_BAD_ADDRESS;
    return ReplaceCopy(&lan_addr, text) ? MQ_SUCCESS : MQ_ERR_NO_MEMORY;
}

char* cUserInfo::getName() { return name; }
char* cUserInfo::getLan_addr() { return lan_addr; }
char* cUserInfo::getQueueName() { return queue; }

cEnvHeader::cEnvHeader() : tmp(nullptr) { userlist.Clear(); }

cEnvHeader::~cEnvHeader() { userlist.Clear(); }

int cEnvHeader::add(cUserInfo* user) {
    // A null user would be taken for the end of every walk over the header.
    if (user == nullptr) return MQ_ERR_ADD;
    return userlist.Add(user) != nullptr ? MQ_SUCCESS : MQ_ERR_ADD;
}

cUserInfo* cEnvHeader::get(const char* key) {
    tmp = nullptr;
    if (key == nullptr) return nullptr;
    userlist.Reset();
    for (cUserInfo* u = userlist.Next(); u != nullptr; u = userlist.Next()) {
        // Users read back from the store may hold no address.
        if (u->getLan_addr() != nullptr && std::strcmp(u->getLan_addr(), key) == 0) {
            tmp = u;
            break;
        }
    }
    return tmp;
}

int cEnvHeader::del(const char* key) {
    if (userlist.Count() == 0) return MQ_ERR_EMPTY;
    cUserInfo* user = get(key);
    if (user == nullptr) return MQ_ERR_NOT_FOUND;
    return userlist.Delete(user) > 0 ? MQ_SUCCESS : MQ_ERR_NOT_FOUND;
}

int cEnvHeader::delAll() {
    if (userlist.Count() == 0) return MQ_ERR_EMPTY;
    userlist.Clear();
    tmp = nullptr;
    return MQ_SUCCESS;
}

cUserInfo* cEnvHeader::getFirst() {
    tmp = userlist.Reset();
    return tmp;
}

cUserInfo* cEnvHeader::getNext() {
    tmp = userlist.Next();
    return tmp;
}

void cEnvHeader::display() {
    char line[kDisplayLine];
    userlist.Reset();
    for (cUserInfo* u = userlist.Next(); u != nullptr; u = userlist.Next()) {
        // A user read back from the store has no name, and may have no
        // address: log an empty field rather than hand %s a null pointer.
        const char* name = u->getName() != nullptr ? u->getName() : "";
        const char* addr = u->getLan_addr() != nullptr ? u->getLan_addr() : "";
        std::snprintf(line, sizeof line, "Name:\t\t%s", name);
        LogMessage(kDisplayLevel, kLogApp, line);
        std::snprintf(line, sizeof line, "Email address: %s", addr);
        LogMessage(kDisplayLevel, kLogApp, line);
    }
}

cMessage::cMessage() : from(nullptr), to(nullptr), msgpath(nullptr) {}

cMessage::~cMessage() {
    if (from != nullptr) from->delAll();
    if (to != nullptr) to->delAll();
    from = nullptr;
    to = nullptr;
    std::free(msgpath);
    msgpath = nullptr;
}

int cMessage::setMsgpath(const char* text) {
    return ReplaceCopy(&msgpath, text) ? MQ_SUCCESS : MQ_ERR_NO_MEMORY;
}

void cMessage::setFrom(cEnvHeader* header) { from = header; }
void cMessage::setTo(cEnvHeader* header) { to = header; }
cEnvHeader* cMessage::getFrom() { return from; }
cEnvHeader* cMessage::getTo() { return to; }
char* cMessage::getMsgpath() { return msgpath; }
