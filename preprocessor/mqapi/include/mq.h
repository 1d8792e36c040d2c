// mq.h - the queue store: channels of entries, each entry an envelope (one
// sender, any number of recipients) and a message file beside it.
//
// Writers: CreateMQEntry, InsertMQChannel, PutMQEnvelope, GetMQPathName,
// then CloseMQEntry to commit (the entry is durable when it returns true) or
// DiscardMQEntry to drop it. The writer renames the body to the ".msg" path
// after the close (only then is the entry offered), or has the store write
// it before the close (mqput.h).
//
// Readers: OpenMQChannel, then GetFirstMessage / GetNextMessage, each entry
// handed out at most once to the open handles of all processes at a time;
// RemoveMQChannel deletes the entry last returned; CloseMQChannel gives back
// the entries the handle holds and did not remove.
//
// Failures are reported by the results named below (false, null or 0) and
// logged once through LogMessage; nothing throws.
//
// Thread safety: any function may be called from several threads at once; a
// handle (MQContext) is used by one thread at a time.
//
// Symbol names: applications and the toolkit, built against the store's old
// declarations, pass texts as char* and link to those names. The
// declarations below take const char* (the store only reads them) and carry
// the old names as assembler labels, so both kinds of caller link to the
// same functions, and the toolkit links to another build of the store that
// exports the old names.
#ifndef MQ_MQ_H
#define MQ_MQ_H

#include <cstdint>

#include "clist.h"
#include "envelope.h"
#include "mqconfig.h"
#include "mqapi_export.h"

// An open channel (a read handle) or a new entry (a write handle); opaque.
struct MQContext;

class MQEnvelopeFactory;

// The envelope of one entry: its sender and recipient records, the size of
// its message body in bytes, and its priority.
class stEnvelope {
public:
    stEnvelope() : bOwnMemoryAlloc(false), dwSize(0), iPri(0) {}
    // Frees the lists' nodes, never the records.
    ~stEnvelope() = default;
    stEnvelope(const stEnvelope&) = delete;
    stEnvelope& operator=(const stEnvelope&) = delete;

    // True when the store allocated the records and their strings and
    // FreeMQEnvelope releases them; false for an envelope a writer built.
    bool OwnsRecords() const { return bOwnMemoryAlloc; }

private:
    friend class MQEnvelopeFactory;
    friend struct MQLayoutCheck;  // the tests hold the layout to the old one
    bool bOwnMemoryAlloc;

public:
    cList<_envFrom*> caFrom;
    cList<_envRecip*> caTo;
    uint32_t dwSize;  // message body size in bytes (0 while it has none)
    int32_t iPri;     // priority; 0 is normal
};

// Initialises the store for this process (again after a fork; see mq(3)
// for what the two strings mean). ldap is the application's setting string:
// one that holds a '/' or ends in ".ini" names the configuration file, any
// other (null and empty included) means "daduv.ini", looked up as the INI
// reader does; appname, required, tags the store's log lines and the
// entries this process writes. Calling it again reloads the channel list and
// the settings. Returns false when the configuration, the spool or the
// database can't be made ready.
MQAPI_EXPORT bool MQInit(const char* ldap, const char* appname) __asm__("_Z6MQInitPcS_");

// Opens a registered channel for reading. Returns null when the store is not
// initialised, the channel is unknown, or the database fails.
MQAPI_EXPORT MQContext* OpenMQChannel(const char* channel) __asm__("_Z13OpenMQChannelPc");

// The oldest entry available to this handle, and the next one after that;
// 0 when none is waiting. bWait is accepted and ignored (no call blocks).
MQAPI_EXPORT unsigned long GetFirstMessage(MQContext* handle, bool bWait);
MQAPI_EXPORT unsigned long GetNextMessage(MQContext* handle, bool bWait);

// The envelope of entry id, or null when it has none. The caller releases it
// with FreeMQEnvelope.
MQAPI_EXPORT stEnvelope* GetMQEnvelope(unsigned long id);
MQAPI_EXPORT void FreeMQEnvelope(stEnvelope* envelope);

// Absolute path of the file of entry id (or of the entry a handle writes)
// with extension ext (".msg" for the message body); null when the store is
// not initialised or ext is not a dot and one to seven letters or digits.
// For ".msg" of a committed entry (by id, or through a read handle) the
// file is whole when the path is given: a body kept in the entry's commit
// (mqput.h) is written to it first, and null is returned when it can't be.
// The text is the store's, valid until the next path call on the same
// thread (for an id) or on the same handle.
MQAPI_EXPORT char* GetMQPathName(unsigned long id, const char* ext)
    __asm__("_Z13GetMQPathNamemPc");
MQAPI_EXPORT char* GetMQPathName(MQContext* handle, const char* ext)
    __asm__("_Z13GetMQPathNameP9MQContextPc");

// Removes the entry last returned by the handle, with its files.
MQAPI_EXPORT bool RemoveMQChannel(MQContext* handle);

// Closes a read handle: entries it holds and did not remove are offered
// again. On true the handle is freed; on false it stays valid and may be
// closed again. A null handle gives false.
MQAPI_EXPORT bool CloseMQChannel(MQContext* handle);

// Reserves a new entry. Returns null when the store is not initialised or
// the database fails.
MQAPI_EXPORT MQContext* CreateMQEntry();

// Names the channel the new entry belongs to; iFlags must be 0.
MQAPI_EXPORT bool InsertMQChannel(MQContext* entry, const char* channel, int iFlags)
    __asm__("_Z15InsertMQChannelP9MQContextPci");

// Copies the envelope into the new entry; keeps no pointer into it.
MQAPI_EXPORT bool PutMQEnvelope(MQContext* entry, stEnvelope* envelope);

// Commits the new entry durably. On true the entry is durable and the handle
// is freed; on false nothing is committed and the handle stays valid for
// DiscardMQEntry.
MQAPI_EXPORT bool CloseMQEntry(MQContext* entry);

// Drops the new entry (no row, no file of it remains) and frees the handle.
// A null handle is ignored.
MQAPI_EXPORT void DiscardMQEntry(MQContext* entry);

#endif
