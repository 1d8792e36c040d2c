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
#ifndef MQ_MQMESSAGE_H
#define MQ_MQMESSAGE_H

#include "clist.h"
#include "mqexport.h"

class MQ_EXPORT cUserInfo {
public:
    cUserInfo();
    ~cUserInfo();
    cUserInfo(const cUserInfo&) = delete;
    cUserInfo& operator=(const cUserInfo&) = delete;

    // Store a copy of the text (null clears the field); a copy stored before
    // is freed. Return 0, or MQ_ERR_NO_MEMORY when the copy can't be made
    // (the field is then unchanged).
    int setName(const char* name);
    int setQueueName(const char* queue);

    // Stores a copy of the address when it passes the address check (see the
    // README) and returns 0; returns MQ_ERR_BAD_ADDRESS and stores nothing
    // otherwise (a null text included).
    int setLan_addr(const char* lan_addr);

    char* getName() { return name; }
    char* getLan_addr() { return lan_addr; }
    char* getQueueName() { return queue; }

private:
    char* name;
    char* lan_addr;
    char* queue;
};

// The address check of setLan_addr: MQ_SUCCESS or MQ_ERR_BAD_ADDRESS.
MQ_EXPORT int CheckLanAddress(const char* lan_addr);

class MQ_EXPORT cEnvHeader {
public:
    cEnvHeader();
    ~cEnvHeader();
    cEnvHeader(const cEnvHeader&) = delete;
    cEnvHeader& operator=(const cEnvHeader&) = delete;

    // Appends user (null is refused). Returns 0, or MQ_ERR_ADD.
    int add(cUserInfo* user);
    // The first user whose address equals key exactly, or null.
    cUserInfo* get(const char* key);
    // Unlists every occurrence of the first user whose address equals key.
    // Returns 0, MQ_ERR_EMPTY for an empty header or MQ_ERR_NOT_FOUND.
    int del(const char* key);
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
    cList<cUserInfo*> userlist;
    cUserInfo* tmp;
};

class MQ_EXPORT cMessage {
public:
    cMessage();
    // Empties the headers it points to (without deleting them), frees the path.
    ~cMessage();
    cMessage(const cMessage&) = delete;
    cMessage& operator=(const cMessage&) = delete;

    void setFrom(cEnvHeader* header) { from = header; }
    void setTo(cEnvHeader* header) { to = header; }
    cEnvHeader* getFrom() { return from; }
    cEnvHeader* getTo() { return to; }

    // Stores a copy of the path (null clears it), freeing the one before.
    // Returns 0, or MQ_ERR_NO_MEMORY (the path is then unchanged).
    int setMsgpath(const char* msgpath);
    char* getMsgpath() { return msgpath; }

private:
    cEnvHeader* from;
    cEnvHeader* to;
    char* msgpath;
};

#endif
