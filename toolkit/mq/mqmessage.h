// mqmessage.h - the message model: cUserInfo (one party of a message),
// cEnvHeader (an ordered list of parties) and cMessage (a sender header, a
// recipient header and the path of the message's file).
//
// Ownership: a cUserInfo owns its three strings (strdup copies, freed by the
// destructor and replaced by a later setter). A cEnvHeader lists users
// without owning them: emptying it releases list nodes only. A cMessage
// stores header pointers without owning the headers; its destructor empties
// them and frees its own path.
//
// Thread safety: none; an object is used by one thread at a time.
//
// Symbol names: applications built against the old interface pass texts as
// char* and link to those names. The members below take const char* (texts
// are only copied or compared) and carry the old names as assembler labels,
// so both kinds of caller link to the same functions. Every getter and
// setter is a function of the library, not only an inline body here.
#ifndef MQ_MQMESSAGE_H
#define MQ_MQMESSAGE_H

#include <cstdint>

#include "clist.h"
#include "mqtoolkit_export.h"

class MQTOOLKIT_EXPORT cUserInfo {
public:
    cUserInfo();
    ~cUserInfo();
    cUserInfo(const cUserInfo&) = delete;
    cUserInfo& operator=(const cUserInfo&) = delete;

    // Store a copy of the text (null clears the field); a copy stored before
    // is freed. Return 0, or MQ_ERR_NO_MEMORY when the copy can't be made
    // (the field is then unchanged).
    int setName(const char* name) __asm__("_ZN9cUserInfo7setNameEPc");
    int setQueueName(const char* queue) __asm__("_ZN9cUserInfo12setQueueNameEPc");

    // Stores a copy of the address when it passes the address check (see
    // cMessage(3)) and returns 0; returns MQ_ERR_BAD_ADDRESS and stores nothing
    // otherwise (a null text included).
    int setLan_addr(const char* lan_addr) __asm__("_ZN9cUserInfo11setLan_addrEPc");

    char* getName();
    char* getLan_addr();
    char* getQueueName();

private:
    friend struct MQLayoutCheck;  // the tests hold the layout to the old one
    char* name;
    char* lan_addr;
    char* queue;
};

// The address check of setLan_addr: MQ_SUCCESS or MQ_ERR_BAD_ADDRESS.
MQTOOLKIT_EXPORT int CheckLanAddress(const char* lan_addr);

class MQTOOLKIT_EXPORT cEnvHeader {
public:
    cEnvHeader();
    ~cEnvHeader();
    cEnvHeader(const cEnvHeader&) = delete;
    cEnvHeader& operator=(const cEnvHeader&) = delete;

    // Appends user (null is refused). Returns 0, or MQ_ERR_ADD.
    int add(cUserInfo* user);
    // The first user whose address equals key exactly, or null.
    cUserInfo* get(const char* key) __asm__("_ZN10cEnvHeader3getEPc");
    // Unlists every occurrence of the first user whose address equals key.
    // Returns 0, MQ_ERR_EMPTY for an empty header or MQ_ERR_NOT_FOUND.
    int del(const char* key) __asm__("_ZN10cEnvHeader3delEPc");
    // Unlists every user. Returns 0, or MQ_ERR_EMPTY for an empty header.
    int delAll();
    // The first user, the cursor put before it; null for an empty header.
    cUserInfo* getFirst();
    // Advances the cursor and returns the user there; null at the end.
    cUserInfo* getNext();
    // Logs the name and address of each user at level 5 as "API_MQ".
    void display();
    uint32_t count() const { return userlist.Count(); }

private:
    friend struct MQLayoutCheck;
    cList<cUserInfo*> userlist;
    cUserInfo* tmp;
};

class MQTOOLKIT_EXPORT cMessage {
public:
    cMessage();
    // Empties the headers it points to (without deleting them), frees the path.
    ~cMessage();
    cMessage(const cMessage&) = delete;
    cMessage& operator=(const cMessage&) = delete;

    void setFrom(cEnvHeader* header);
    void setTo(cEnvHeader* header);
    cEnvHeader* getFrom();
    cEnvHeader* getTo();

    // Stores a copy of the path (null clears it), freeing the one before.
    // Returns 0, or MQ_ERR_NO_MEMORY (the path is then unchanged).
    int setMsgpath(const char* msgpath) __asm__("_ZN8cMessage10setMsgpathEPc");
    char* getMsgpath();

private:
    friend struct MQLayoutCheck;
    cEnvHeader* from;
    cEnvHeader* to;
    char* msgpath;
};

#endif
