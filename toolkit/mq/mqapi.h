// mqapi.h - the message-queue toolkit: everything an application uses.
//
//   mqresult.h     result codes
//   clist.h        cList, the list the model and the store hand out
//   cllock.h       clLock
//   mqmessage.h    cUserInfo, cEnvHeader, cMessage
//   mqclient.h     cMQ: putting and getting messages
//   mqdirectory.h  host names and the host's module list in the directory
//   mqchannel.h    cChannel: the channel registry
#ifndef MQ_MQAPI_H
#define MQ_MQAPI_H

#include "clist.h"
#include "cllock.h"
#include "mqchannel.h"
#include "mqclient.h"
#include "mqdirectory.h"
#include "mqmessage.h"
#include "mqresult.h"

#endif
