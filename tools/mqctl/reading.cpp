// reading.cpp - how the commands that only read open the queue store.
#include "reading.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <mqadmin.h>

namespace mqctl {

bool PrepareReading(const std::string& installDir) {
    const std::string spool = installDir + "/spool";
    struct stat st;
    if (lstat(spool.c_str(), &st) != 0 && errno == ENOENT) return false;
    bool writable = true;
    for (const std::string& path : {spool, spool + "/queue.db", spool + "/queue.lck"}) {
        writable = writable && access(path.c_str(), W_OK) == 0;
    }
    mqadmin::SetReadOnly(!writable);
    return true;
}

}  // namespace mqctl
