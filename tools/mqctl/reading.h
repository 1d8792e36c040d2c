// reading.h - how the commands that only read the queue (list, summary,
// metrics, monitor, check) open the queue store.
//
// Thread safety: single-threaded, before the store is opened.
#ifndef MQCTL_READING_H
#define MQCTL_READING_H

#include <string>

namespace mqctl {

// PrepareReading - readies the opening of the store of installDir for a
// command that only reads. Returns false when there is no spool yet
// (nothing was ever put): the command then reads an empty queue and opens
// nothing, so it creates nothing. Else returns true, and the next opening
// (OpenStore) is for reading only unless this user may write to the spool,
// its database and its lock file: a member of the queue's group who may
// only read needs no more; the queue's owner opens it as every process
// does, cleaning up after processes that died.
bool PrepareReading(const std::string& installDir);

}  // namespace mqctl

#endif
