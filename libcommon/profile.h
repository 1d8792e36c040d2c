// profile.h - GetPrivateProfileString, the reader of the INI configuration.
//
// A bare file name ("daduv.ini") is looked up in the directory named by the
// environment variable MQ_CONFIG_DIR when that is set, else in the current
// directory, else in /etc; a name holding a slash is used as given. A set
// MQ_CONFIG_DIR is the only place looked in: no fall-back to the others.
//
// Section names match without regard to letter case, key names exactly.
// Values are trimmed of surrounding white space. When a key occurs more than
// once in a section, the first occurrence counts. Lines starting with ';' or
// '#' are comments, and so is the rest of a line from a ';' after white
// space. Indentation carries no meaning. A line of more than 197 characters
// (line end not counted) is no setting, and one that opens a section makes
// the keys under it unreadable until the next section; so does a section
// name of more than 48 characters.
//
// Thread safety: reentrant; every call reads the file afresh.
//
// Symbol names: callers built against the reader's old declaration pass
// char* texts and link to that name; the declaration below takes const char*
// (nothing it is given is written but the buffer) and carries the old name as
// its assembler label, so both kinds of caller link to the one function.
#ifndef MQ_PROFILE_H
#define MQ_PROFILE_H

#include "libcommon_export.h"

// Copies the value of key in section of file into buffer, or szDefault (null
// counts as "") when the file, the section or the key is missing, and when
// memory for reading the file runs out (errno is then ENOMEM). The result
// is NUL-terminated and at most size-1 characters long. Returns the number of
// characters copied; 0 when buffer is null or size is not positive.
LIBCOMMON_EXPORT int GetPrivateProfileString(const char* szSection, const char* szKey,
                                             const char* szDefault, char* szBuffer, int size,
                                             const char* szFileName)
    __asm__("_Z23GetPrivateProfileStringPcS_S_S_iS_");

#endif
