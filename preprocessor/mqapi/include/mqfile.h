// mqfile.h - writing a file so that it survives a crash or a power cut, for
// message bodies, the channel file and anything else the toolkit's users
// must not find half written.
//
// A file is created exclusively (never through an existing name or link),
// written whole, synced, closed with the result checked, and only then given
// its name; the directory is synced so that the name survives too. A
// directory the file system can't sync (fsync on it gives EINVAL) is taken
// as synced: such file systems keep names with their data or not at all.
//
// Failures return an errno value and leave nothing behind at the new name.
// Thread safety: reentrant.
#ifndef MQ_MQFILE_H
#define MQ_MQFILE_H

#include <cstddef>

#include "mqapi_export.h"

// Creates path (which must not exist) holding size bytes of data, synced
// with its directory. Returns 0, or an errno value (EEXIST when path
// exists) with nothing left at path.
MQAPI_EXPORT int MQWriteNewFile(const char* path, const void* data, size_t size);

// As MQWriteNewFile, with the content read from fd to its end.
MQAPI_EXPORT int MQCopyNewFile(const char* path, int fd);

// Puts size bytes of data at path by the rename pattern: writes tmp afresh
// (removing a stale one), syncs it, renames it over path and syncs the
// directory. Returns 0, or an errno value with path as it was and tmp gone.
MQAPI_EXPORT int MQReplaceFile(const char* tmp, const char* path, const void* data, size_t size);

#endif
