// procident.h - who a process is, in a form that outlives it: its process
// id together with a key made of the boot's identifier and the process's
// start time, so that neither a reused process id nor a reboot can pass a
// new process off as an old one.
//
// The store records the identity of every writer and reader in its database
// and later asks whether that process still lives, to clean up after it.
//
// Thread safety: reentrant.
#ifndef MQ_PROCIDENT_H
#define MQ_PROCIDENT_H

#include <sys/types.h>

#include <string>

namespace mqstore {

struct ProcessIdentity {
    pid_t pid = 0;
    std::string key;  // "<boot id>:<start time in clock ticks>"
};

// The identity of process pid as it stands now; an empty key when the
// process does not exist (or /proc can't tell).
ProcessIdentity IdentifyProcess(pid_t pid);

// True while the process recorded as identity runs: same pid, same boot,
// same start time, and not a zombie. A process that can't be examined is
// taken for alive, so that nothing is released on a mere doubt.
bool ProcessAlive(const ProcessIdentity& identity);

}  // namespace mqstore

#endif
