// mqchannel.h - the channel registry: the channel file "queue.cfg" of the
// installation directory, kept in step with the module list of the host's
// directory entry.
//
// The channel file holds one record per line: channel, application,
// direction and an optional flag letter, separated by two tabs, each line
// ending in CR LF. Lines are split by the one parser of channel-file lines
// (chanline.h) that the queue store also uses.
//
// Thread safety: one cChannel is used by one thread at a time. Add and Del,
// directory call included, are serialised across threads and processes by an
// exclusive flock on "queue.cfg.lck" beside the channel file. The channel file is
// replaced atomically (written as "queue.tmp", synced, renamed over it), so
// IsExist and List, which take no lock, always read a whole registry: the
// one before or the one after a change.
//
// Layout: exactly the four fields below, in this order, as applications of
// the old interface allocate the object. Members that take texts take const
// char* and carry, as assembler labels, the names those applications (char*)
// link to.
//
// Ownership: a cChannel owns its three path texts. Nothing it returns needs
// freeing; the texts handed to a List callback are valid during the call only.
#ifndef MQ_MQCHANNEL_H
#define MQ_MQCHANNEL_H

#include "mqtoolkit_export.h"

// IsLineSpace - true when every byte of the line is white space (isspace in
// the current locale), and for the empty text or null.
MQTOOLKIT_EXPORT bool IsLineSpace(const char* pszBuffer) __asm__("_Z11IsLineSpacePc");

// ParseBuf - takes the channel (field 1) and the application (field 2) out
// of a line of the channel file; fields are separated by runs of spaces and
// tabs, and a line end stays part of the field it ends. Each output receives
// the empty text when the line has no such field, and needs room for the
// whole line and its NUL. Null outputs are skipped; a null line has no fields.
MQTOOLKIT_EXPORT void ParseBuf(const char* szBuf, char* szQueue, char* szModuleName)
    __asm__("_Z8ParseBufPcS_S_");

// One record as cChannel::List hands it out: field texts with the line end
// removed; flag is 'C', 'c' or 0.
typedef int (*ChannelListFn)(void* context, const char* channel, const char* application,
                             const char* direction, char flag);

class MQTOOLKIT_EXPORT cChannel {
public:
    // Reads "InstallDirectory" ("Config") and "Hostname" ("Ldap") from
    // "daduv.ini" once. Reports nothing; when memory for the paths can't be
    // had, every later operation fails with MQ_ERR_FILE (IsExist: false).
    cChannel();
    ~cChannel();
    cChannel(const cChannel&) = delete;
    cChannel& operator=(const cChannel&) = delete;

    // IsExist - true when a record's channel field equals channel, letter
    // case ignored. False for null, for a missing or unreadable channel file.
    bool IsExist(const char* channel) __asm__("_ZN8cChannel7IsExistEPc");

    // Add - registers a channel: lists application in the host's directory
    // entry, then replaces the channel file by one with the new record last
    // and no blank lines. Returns MQ_SUCCESS; MQ_ERR_CHANNEL_REQUEST when a
    // name is unusable by the store (null, empty, too long, holding a space,
    // tab, control character, '/' or ','), the direction is not "in" or "out"
    // (any case), the flag is none of 0, 'C', 'c', or the channel is
    // registered already (the cause is logged); MQ_ERR_DIRECTORY_ADD when the directory refused
    // (the file is untouched); MQ_ERR_FILE when the lock, the temporary file,
    // a write, a sync or the rename failed (the channel file is untouched).
    int Add(const char* channel, const char* application, const char* type, char compability)
        __asm__("_ZN8cChannel3AddEPcS0_S0_c");

    // Del - removes every record of channel (letter case ignored), taking
    // each record's application out of the directory first; other lines,
    // blank ones included, are kept byte for byte. Returns MQ_SUCCESS;
    // MQ_ERR_CHANNEL_REQUEST when the channel is null, empty, holds white
    // space or is not registered; MQ_ERR_DIRECTORY_DEL when the directory
    // refused a removal (the file is untouched; names removed for earlier
    // records stay removed); MQ_ERR_FILE as for Add.
    int Del(const char* channel) __asm__("_ZN8cChannel3DelEPc");

    // List - calls fn once per record of the channel file, in file order,
    // with the records as the queue store reads them (blank lines and lines
    // without an application are passed over). A non-zero return from fn
    // stops the listing. Returns MQ_SUCCESS (also for a missing channel
    // file, which holds no records); MQ_ERR_CHANNEL_REQUEST for a null fn;
    // MQ_ERR_FILE when the file can't be opened or read.
    int List(ChannelListFn fn, void* context);

private:
    friend struct MQLayoutCheck;  // the tests hold the layout to the old one
    char* iniFileName;
    char* szQueueFile;
    char* szTmpFile;
    char szLdapHost[128];
};

#endif
