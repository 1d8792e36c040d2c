// profilepath.cpp - ResolveProfilePath.
#include "profilepath.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

// IsReadableFile - true when path names something that is not a directory
// and may be opened for reading.
bool IsReadableFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) && access(path.c_str(), R_OK) == 0;
}

}  // namespace

namespace mqcommon {

// ResolveProfilePath - a set MQ_CONFIG_DIR is the only place a bare name is
// looked for: a site or a test that names its own configuration must never
// fall back to the system's.
std::string ResolveProfilePath(const char* szFileName) {
    if (szFileName == nullptr || *szFileName == '\0') return std::string();
    if (std::strchr(szFileName, '/') != nullptr) return szFileName;

    const char* configDir = std::getenv("MQ_CONFIG_DIR");
    if (configDir != nullptr && *configDir != '\0') {
        std::string path = std::string(configDir) + "/" + szFileName;
        return IsReadableFile(path) ? path : std::string();
    }
    if (IsReadableFile(szFileName)) return szFileName;
    std::string system = std::string("/etc/") + szFileName;
    return IsReadableFile(system) ? system : std::string();
}

}  // namespace mqcommon
