// mqchannel.h - the channel registry: the channel file "queue.cfg" of the
// installation directory, kept in step with the host's directory entry.
//
// Thread safety: Add and Del are serialised across threads and processes by
// a lock on a lock file beside the channel file; IsExist reads a consistent
// file at any time (the file is replaced atomically).
#ifndef MQ_MQCHANNEL_H
#define MQ_MQCHANNEL_H

#include "mqexport.h"

// True when every character of the line is white space (also for "").
MQ_EXPORT bool IsLineSpace(const char* pszBuffer);

// Takes the channel (field 1) and the application (field 2) out of a line of
// the channel file. Each output needs room for the whole line.
MQ_EXPORT void ParseBuf(const char* szBuf, char* szQueue, char* szModuleName);

class MQ_EXPORT cChannel {
public:
    // Reads "InstallDirectory" ("Config") and "Hostname" ("Ldap").
    cChannel();
    ~cChannel();
    cChannel(const cChannel&) = delete;
    cChannel& operator=(const cChannel&) = delete;

    bool IsExist(const char* channel);
    int Add(const char* channel, const char* application, const char* type, char compability);
    int Del(const char* channel);

private:
    char* iniFileName;
    char* szQueueFile;
    char* szTmpFile;
    char szLdapHost[128];
};

#endif
