// log.h - LogMessage, the log of the toolkit and its platform layers.
//
// By default every line goes to syslog, facility mail, with the application
// name as its tag; the environment variable MQ_LOG sends lines to standard
// error ("stderr"), appends them to a file (an absolute path), or sends the
// syslog datagrams to another socket than /dev/log ("syslog:PATH") instead.
// LogMessage(3) lists the levels and their syslog priorities.
//
// Thread safety: may be called from any number of threads at once. It never
// fails towards its caller and never waits on a slow log reader: a line that
// can't be delivered at once is dropped.
//
// Symbol names: applications and layers built against the logger's old
// declaration take its texts as char*, and link to that name. The
// declaration below takes const char* (the texts are only read) and carries
// the old name as its assembler label, so both kinds of caller link to the
// one function.
#ifndef MQ_LOG_H
#define MQ_LOG_H

#include "logapi_export.h"

// Levels follow syslog's numbering: lower is more severe.
enum {
    MQLOG_CRITICAL = 2,
    MQLOG_ERROR = 3,
    MQLOG_WARNING = 4,
    MQLOG_NOTICE = 5,
    MQLOG_INFO = 6,
    MQLOG_DEBUG = 7
};

// Logs one line. A null application name or message is logged as "-"; the
// message is taken as text, never as a format.
LOGAPI_EXPORT void LogMessage(int iLevel, const char* szAppName, const char* szMessage)
    __asm__("_Z10LogMessageiPcS_");

// Formats with printf rules, then logs as LogMessage does.
LOGAPI_EXPORT void LogMessagef(int iLevel, const char* szAppName, const char* szFormat, ...)
    __attribute__((format(printf, 3, 4)));

// A program's view of the failures its calls log. A hook set here is called
// with every line logged at MQLOG_WARNING or more severe, after the line went
// to its destination, whatever MQ_LOG says: a command-line tool shows its
// user the cause the layers below it logged (the file, the call, the
// system's reason) without the user having to find the log. The text is the
// message as logged (control characters made spaces, cut at 2,048 bytes),
// valid only during the call. The hook runs on the logging thread, may be
// called from several threads at once, and must not call LogMessage. Null
// removes it. Set it before other threads log.
typedef void (*LogFailureHook)(int iLevel, const char* szAppName, const char* szMessage,
                               void* pContext);
LOGAPI_EXPORT void LogSetFailureHook(LogFailureHook hook, void* pContext);

#endif
