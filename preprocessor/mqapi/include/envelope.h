// envelope.h - the sender and recipient records of a queue-store envelope.
//
// The string fields are NUL-terminated. Who owns them depends on who built
// the envelope: in an envelope that a writer hands to PutMQEnvelope they are
// the writer's (the store copies what it needs); in one that GetMQEnvelope
// returns they are the store's, released by FreeMQEnvelope.
//
// envid, ret, orcpt and notify carry the SMTP delivery-status-notification
// parameters ENVID, RET, ORCPT and NOTIFY (RFC 3461), body the SMTP BODY
// parameter (RFC 1652).
#ifndef MQ_ENVELOPE_H
#define MQ_ENVELOPE_H

#include <cstdint>

#include "mqapi_export.h"

// The records are types of the interface (visible), so that the lists of
// them that the toolkit exports are visible too.
struct MQAPI_EXPORT _envFrom {
    char* address;
    char* envid;
    int32_t ret;
    int32_t body;
    char* lan_address;
    char* szQueue;
};

struct MQAPI_EXPORT _envRecip {
    char* address;
    char* orcpt;
    int32_t notify;
    char* lan_address;
    char* szQueue;
};

#endif
