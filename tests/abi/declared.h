// declared.h - the toolkit's interface as an application of the old library
// declares it: every class with its fields in order, every exported function
// with its documented types (char* where a text is taken). Written out by
// hand, not from the installed headers, so that a program built against it
// shows whether the installed libraries still serve such applications:
// every name it references must resolve, and every object it makes must fit.
//
// Nothing here is defined: each member function and free function is the
// library's.
#ifndef MQ_TESTS_DECLARED_H
#define MQ_TESTS_DECLARED_H

#include <pthread.h>

typedef unsigned int DWORD;
typedef int BOOL;

// The list and lock primitives.
template <class T>
class cList {
public:
    struct st {
        T stUser;
        st* pNext;
    };
    cList();
    ~cList();
    T Add(T stMe);
    T Reset();
    T Next();
    unsigned int Delete(T stMatch);
    unsigned int Count();
    void Clear();

    st* pBase;
    st* pCurrent;
    unsigned int lCt;
};

class clLock {
public:
    clLock();
    ~clLock();
    DWORD Lock(DWORD dwWait);
    BOOL Unlock();

private:
    pthread_mutex_t m_mutex;
};

// The message model.
class cUserInfo {
public:
    cUserInfo();
    ~cUserInfo();
    void setName(char* name);
    char* getName();
    int setLan_addr(char* lan_addr);
    char* getLan_addr();
    void setQueueName(char* queue);
    char* getQueueName();

private:
    char* name;
    char* lan_addr;
    char* queue;
};

class cEnvHeader {
public:
    cEnvHeader();
    ~cEnvHeader();
    int add(cUserInfo* user);
    cUserInfo* get(char* key);
    int del(char* key);
    int delAll();
    cUserInfo* getFirst();
    cUserInfo* getNext();
    void display();

private:
    cList<cUserInfo*> userlist;
    cUserInfo* tmp;
};

class cMessage {
public:
    cMessage();
    ~cMessage();
    void setFrom(cEnvHeader* from);
    void setTo(cEnvHeader* to);
    cEnvHeader* getFrom();
    cEnvHeader* getTo();
    void setMsgpath(char* msgpath);
    char* getMsgpath();

private:
    cEnvHeader* from;
    cEnvHeader* to;
    char* msgpath;
};

// The queue store's records and calls.
struct MQContext;

struct _envFrom {
    char* address;
    char* envid;
    int ret;
    int body;
    char* lan_address;
    char* szQueue;
};

struct _envRecip {
    char* address;
    char* orcpt;
    int notify;
    char* lan_address;
    char* szQueue;
};

class stEnvelope {
private:
    bool bOwnMemoryAlloc;

public:
    cList<_envFrom*> caFrom;
    cList<_envRecip*> caTo;
    unsigned int dwSize;
    int iPri;
};

struct MQchannelDBStr {
    unsigned int QueueID;
    int bStopped;
    int bOut;
    int bCompatibility;
    int bInstalled;
    char szQueue[20];
    char szAppName[255];
};

class MQConfig {
public:
    cList<MQchannelDBStr*> myQList;
};

extern MQConfig OneMQ;

bool MQInit(char* ldap, char* appname);
MQContext* OpenMQChannel(char* channel);
unsigned long GetFirstMessage(MQContext* handle, bool bWait);
unsigned long GetNextMessage(MQContext* handle, bool bWait);
stEnvelope* GetMQEnvelope(unsigned long id);
void FreeMQEnvelope(stEnvelope* envelope);
char* GetMQPathName(unsigned long id, char* ext);
bool RemoveMQChannel(MQContext* handle);
bool CloseMQChannel(MQContext* handle);
MQContext* CreateMQEntry();
bool InsertMQChannel(MQContext* entry, char* channel, int iFlags);
bool PutMQEnvelope(MQContext* entry, stEnvelope* envelope);
char* GetMQPathName(MQContext* entry, char* ext);
bool CloseMQEntry(MQContext* entry);
void DiscardMQEntry(MQContext* entry);

// The queue client.
class cMQ {
public:
    cMQ();
    ~cMQ();
    int OpenMQChannel(char* appname, char* ldap);
    int CloseMQChannel();
    int DelMsg();
    char* GetPathName(unsigned long id, char* ext);
    int PutMsg(cMessage* msg, char* in);
    cMessage* GetMsg(char* out);
    cMessage* GetMsgEnv(unsigned long id);
    char* GetMsgDest(char* ext);

private:
    int count;
    bool initial;
    char* appname;
    void* inMQ;
    void* outMQ;
    void* myEnv;
    cMessage* msg;
    cEnvHeader from;
    cEnvHeader to;
    char* path;
    bool bDelete;
    unsigned int idx;
};

// Host names and the host's module list in the directory.
char* ToDC(char* lpszHostname);
int BreakDownDomain(char* lpszHostname, char*** dc);
void FreeDomainList(int n, char** dclist);
bool AddModuleName(char* lpszHostname, char* lpszModuleName);
bool DelModuleName(char* lpszHostname, char* lpszModuleName);

// The directory client.
struct attrval {
    int oper;
    char attrib[64];
    char value[512];
    attrval* next;
};

struct SearchReq {
    char dn[256];
    attrval* attr;
    SearchReq* next;
};

class ldapClient {
public:
    ldapClient();
    ~ldapClient();
    int ldapClientConnect(char* host, int port);
    int ldapClientBind(char* user, char* password);
    SearchReq* ldapClientSearch(char* base, int scope, int attrsonly, char* filter, int* count);
    int ldapClientModify(char* dn, attrval* mods);
    void srch_free(SearchReq* result);
    void ldapClientUnbind();
};

// The channel file and the registry.
bool IsLineSpace(char* pszBuffer);
void ParseBuf(char* szBuf, char* szQueue, char* szModuleName);

class cChannel {
public:
    cChannel();
    ~cChannel();
    bool IsExist(char* channel);
    int Add(char* channel, char* application, char* type, char compability);
    int Del(char* channel);

private:
    char* iniFileName;
    char* szQueueFile;
    char* szTmpFile;
    char szLdapHost[128];
};

// The INI reader and the logger.
int GetPrivateProfileString(char* szSection, char* szKey, char* szDefault, char* szBuffer,
                            int size, char* szFileName);
void LogMessage(int iLevel, char* szAppName, char* szMessage);

#endif
