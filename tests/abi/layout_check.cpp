// layout_check.cpp - holds the layout of every class and record of the
// interface to the one applications of the old interface were compiled
// with, on x86_64 and on i386: sizes and field offsets, checked when this
// file compiles. An application allocates these objects itself (on its
// stack, inside its own objects) and the library's constructors fill them,
// so one byte more on our side is a write past the application's object.
//
// It also checks, by overload resolution alone, that callers of our headers
// may pass string literals and null pointers to the members that take texts.
#include <cstddef>
#include <type_traits>

// stEnvelope mixes a private field with public ones, as the old interface
// declares it, which makes offsetof "conditionally supported"; GCC and Clang
// lay such a class out like any other and give the exact offsets.
#pragma GCC diagnostic ignored "-Winvalid-offsetof"

#include "ldapclient.h"
#include "log.h"
#include "mq.h"
#include "mqapi.h"
#include "profile.h"

#if defined(__x86_64__)
#define MQ_ON_ARCH(amd64, i386) (amd64)
#elif defined(__i386__)
#define MQ_ON_ARCH(amd64, i386) (i386)
#else
#error "the old interface is laid out for i386 and x86_64 only"
#endif

#define MQ_SIZE(type, amd64, i386) \
    static_assert(sizeof(type) == MQ_ON_ARCH(amd64, i386), "size of " #type)
#define MQ_FIELD(type, field, amd64, i386)                                                 \
    static_assert(offsetof(type, field) == MQ_ON_ARCH(amd64, i386), "offset of " #type ":" \
                                                                                       ":" #field)

// Named friend of the classes whose fields are private.
struct MQLayoutCheck {
    MQ_SIZE(cMQ, 128, 72);
    MQ_FIELD(cMQ, count, 0, 0);
    MQ_FIELD(cMQ, initial, 4, 4);
    MQ_FIELD(cMQ, appname, 8, 8);
    MQ_FIELD(cMQ, inMQ, 16, 12);
    MQ_FIELD(cMQ, outMQ, 24, 16);
    MQ_FIELD(cMQ, myEnv, 32, 20);
    MQ_FIELD(cMQ, msg, 40, 24);
    MQ_FIELD(cMQ, from, 48, 28);
    MQ_FIELD(cMQ, to, 80, 44);
    MQ_FIELD(cMQ, path, 112, 60);
    MQ_FIELD(cMQ, bDelete, 120, 64);
    MQ_FIELD(cMQ, idx, 124, 68);

    MQ_SIZE(cChannel, 152, 140);
    MQ_FIELD(cChannel, iniFileName, 0, 0);
    MQ_FIELD(cChannel, szQueueFile, 8, 4);
    MQ_FIELD(cChannel, szTmpFile, 16, 8);
    MQ_FIELD(cChannel, szLdapHost, 24, 12);

    MQ_SIZE(cUserInfo, 24, 12);
    MQ_FIELD(cUserInfo, name, 0, 0);
    MQ_FIELD(cUserInfo, lan_addr, 8, 4);
    MQ_FIELD(cUserInfo, queue, 16, 8);

    MQ_SIZE(cEnvHeader, 32, 16);
    MQ_FIELD(cEnvHeader, userlist, 0, 0);
    MQ_FIELD(cEnvHeader, tmp, 24, 12);

    MQ_SIZE(cMessage, 24, 12);
    MQ_FIELD(cMessage, from, 0, 0);
    MQ_FIELD(cMessage, to, 8, 4);
    MQ_FIELD(cMessage, msgpath, 16, 8);

    MQ_SIZE(stEnvelope, 64, 36);
    MQ_FIELD(stEnvelope, bOwnMemoryAlloc, 0, 0);
    MQ_FIELD(stEnvelope, caFrom, 8, 4);
    MQ_FIELD(stEnvelope, caTo, 32, 16);
    MQ_FIELD(stEnvelope, dwSize, 56, 28);
    MQ_FIELD(stEnvelope, iPri, 60, 32);
};

using UserList = cList<cUserInfo*>;
MQ_SIZE(UserList, 24, 12);
MQ_FIELD(UserList, pBase, 0, 0);
MQ_FIELD(UserList, pCurrent, 8, 4);
MQ_FIELD(UserList, lCt, 16, 8);
MQ_SIZE(UserList::st, 16, 8);
MQ_FIELD(UserList::st, stUser, 0, 0);
MQ_FIELD(UserList::st, pNext, 8, 4);

MQ_SIZE(clLock, 40, 24);  // one pthread_mutex_t

MQ_SIZE(_envFrom, 40, 24);
MQ_FIELD(_envFrom, address, 0, 0);
MQ_FIELD(_envFrom, envid, 8, 4);
MQ_FIELD(_envFrom, ret, 16, 8);
MQ_FIELD(_envFrom, body, 20, 12);
MQ_FIELD(_envFrom, lan_address, 24, 16);
MQ_FIELD(_envFrom, szQueue, 32, 20);

MQ_SIZE(_envRecip, 40, 20);
MQ_FIELD(_envRecip, address, 0, 0);
MQ_FIELD(_envRecip, orcpt, 8, 4);
MQ_FIELD(_envRecip, notify, 16, 8);
MQ_FIELD(_envRecip, lan_address, 24, 12);
MQ_FIELD(_envRecip, szQueue, 32, 16);

MQ_SIZE(MQchannelDBStr, 296, 296);
MQ_FIELD(MQchannelDBStr, QueueID, 0, 0);
MQ_FIELD(MQchannelDBStr, bStopped, 4, 4);
MQ_FIELD(MQchannelDBStr, bOut, 8, 8);
MQ_FIELD(MQchannelDBStr, bCompatibility, 12, 12);
MQ_FIELD(MQchannelDBStr, bInstalled, 16, 16);
MQ_FIELD(MQchannelDBStr, szQueue, 20, 20);
MQ_FIELD(MQchannelDBStr, szAppName, 40, 40);

// Applications read OneMQ.myQList at the start of the store's object.
MQ_FIELD(MQConfig, myQList, 0, 0);

MQ_SIZE(attrval, 592, 584);
MQ_FIELD(attrval, oper, 0, 0);
MQ_FIELD(attrval, attrib, 4, 4);
MQ_FIELD(attrval, value, 68, 68);
MQ_FIELD(attrval, next, 584, 580);

MQ_SIZE(SearchReq, 272, 264);
MQ_FIELD(SearchReq, dn, 0, 0);
MQ_FIELD(SearchReq, attr, 256, 256);
MQ_FIELD(SearchReq, next, 264, 260);

// Texts: a literal and a null pointer each pick exactly one function.
template <typename T>
T& Any();
static_assert(std::is_same<decltype(Any<cMQ>().PutMsg(nullptr, "RELAY")), int>::value, "");
static_assert(std::is_same<decltype(Any<cMQ>().PutMsg(nullptr, nullptr)), int>::value, "");
static_assert(std::is_same<decltype(Any<cMQ>().GetMsgDest(".tmp")), char*>::value, "");
static_assert(std::is_same<decltype(Any<cUserInfo>().setLan_addr(NULL)), int>::value, "");
static_assert(std::is_same<decltype(Any<cChannel>().Add("C", "app", "in", 0)), int>::value, "");
static_assert(std::is_same<decltype(MQInit(nullptr, "app")), bool>::value, "");
static_assert(std::is_same<decltype(GetMQPathName(1ul, ".msg")), char*>::value, "");
static_assert(std::is_same<decltype(LogMessage(5, "app", nullptr)), void>::value, "");
static_assert(std::is_same<decltype(ToDC("host.example.org")), char*>::value, "");
static_assert(std::is_same<decltype(Any<ldapClient>().ldapClientConnect("h", 389)), int>::value,
              "");
