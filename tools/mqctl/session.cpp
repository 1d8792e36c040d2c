// session.cpp - installation lookup, store opening and shared readers.
#include "session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include <mqapi.h>
#include <profile.h>
#include <profilepath.h>

#include "cli.h"

namespace mqctl {

namespace {

// Owns a file descriptor; standard input is borrowed, never closed.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ > STDERR_FILENO) close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Why no configuration was found, with what to do: the INI reader passes
// over a file it can't read, which is not the same as a missing one.
std::string NotFound() {
    const char* dir = std::getenv("MQ_CONFIG_DIR");
    std::vector<std::string> places;
    if (dir != nullptr && *dir != '\0') {
        places.push_back(std::string(dir) + "/" + kIniName);
    } else {
        places.push_back(kIniName);
        places.push_back(std::string("/etc/") + kIniName);
    }
    for (const std::string& p : places) {
        struct stat st;
        if (stat(p.c_str(), &st) != 0) continue;
        if (!S_ISREG(st.st_mode)) return p + " is not a regular file; replace it by the INI file";
        return p + " can't be read; make it readable for this user";
    }
    std::string where = dir != nullptr && *dir != '\0'
                            ? std::string("in MQ_CONFIG_DIR (") + dir + ")"
                            : "in the current directory or /etc";
    return std::string("configuration file ") + kIniName + " not found " + where +
           "; set MQ_CONFIG_DIR to its directory or use --config";
}

}  // namespace

mq::Status ApplyConfigOption(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return mq::Status::FromErrno("--config", path, errno);
    std::string dir = path;
    if (!S_ISDIR(st.st_mode)) {
        size_t slash = path.rfind('/');
        std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
        if (base != kIniName) {
            return mq::Status::Error("--config " + path +
                                     ": the toolkit reads its settings from a file named " +
                                     kIniName + "; name the file so or give its directory");
        }
        dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    }
    char resolved[PATH_MAX];
    if (realpath(dir.c_str(), resolved) == nullptr) {
        return mq::Status::FromErrno("--config", path, errno);
    }
    setenv("MQ_CONFIG_DIR", resolved, 1);
    return mq::Status::OK();
}

mq::Status FindInstallation(Installation* out) {
    *out = Installation();
    out->iniPath = mqcommon::ResolveProfilePath(kIniName);
    if (out->iniPath.empty()) return mq::Status::Error(NotFound());
    Fd fd(open(out->iniPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        mq::Status failed = mq::Status::FromErrno("open", out->iniPath, errno);
        return mq::Status::Error(failed.Cause() + "; make it readable for this user",
                                 failed.Code());
    }
    char buf[256];
    if (read(fd.get(), buf, sizeof buf) < 0) {
        return mq::Status::FromErrno("read", out->iniPath, errno);
    }
    char dir[256] = "";
    GetPrivateProfileString("Config", "InstallDirectory", "", dir, sizeof dir,
                            out->iniPath.c_str());
    out->installDir = dir;
    if (out->installDir.empty()) {
        return mq::Status::Error(out->iniPath +
                                 ": no InstallDirectory in section [Config]; add one");
    }
    return mq::Status::OK();
}

bool RequireInstallation(const std::string& command, Installation* out) {
    mq::Status found = FindInstallation(out);
    if (found.ok()) return true;
    NoteTempFail();
    PrintError(command, found);
    return false;
}

bool OpenStore(cMQ& mq, const std::string& command) {
    int rc = mq.OpenMQChannel(kAppName, kIniName);
    if (rc == MQ_SUCCESS) return true;
    NoteTempFail();
    PrintResultError(command, "the queue store can't be opened", rc);
    return false;
}

bool IsRegistered(const std::string& command, const std::string& channel) {
    cChannel registry;
    if (registry.IsExist(channel.c_str())) return true;
    NoteTempFail();  // mail waits while the site mends its channel file
    PrintResultError(command, "channel " + channel, MQ_ERR_NO_CHANNEL);
    return false;
}

mq::Status ReadWhole(const std::string& path, std::string* out) {
    out->clear();
    bool stdinput = path == "-";
    Fd fd(stdinput ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC));
    const std::string name = stdinput ? "standard input" : path;
    if (fd.get() < 0) return mq::Status::FromErrno("open", name, errno);
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd.get(), buf, sizeof buf);
        if (n == 0) return mq::Status::OK();
        if (n < 0) {
            if (errno == EINTR) continue;
            return mq::Status::FromErrno("read", name, errno);
        }
        out->append(buf, static_cast<size_t>(n));
    }
}

std::vector<std::string> Users(cEnvHeader* header) {
    std::vector<std::string> out;
    if (header == nullptr || header->getFirst() == nullptr) return out;
    while (cUserInfo* u = header->getNext()) {
        const char* addr = u->getLan_addr();
        out.push_back(addr != nullptr ? addr : "");
    }
    return out;
}

}  // namespace mqctl
