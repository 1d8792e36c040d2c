// mqchannel.cpp - the channel registry: IsLineSpace, ParseBuf and cChannel.
//
// Every change is one locked transaction: take the flock on "queue.cfg.lck",
// check, read the whole channel file, write its successor to "queue.tmp",
// make the directory call, then sync the successor, rename it over
// "queue.cfg" and sync the directory. A crash at any point leaves the old
// registry or the new one, never neither; a stale "queue.tmp" is removed
// and made afresh by the next change, and the kernel drops the lock of a
// dead holder.
#include "mqchannel.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <memory>
#include <string>
#include <vector>

#include "chanline.h"
#include "durable.h"
#include "log.h"
#include "mqdirectory.h"
#include "mqresult.h"
#include "profile.h"
#include "syscalls.h"

namespace {

const char kLogApp[] = "API_MQ";
const char kIniFile[] = "daduv.ini";

// LogFailure - one line: what failed, on which path, and why.
void LogFailure(const char* op, const std::string& path, int err) {
    LogMessage(MQLOG_ERROR, kLogApp, (std::string(op) + " " + path + ": " + strerror(err)).c_str());
}

// Fd - owns one file descriptor; closing it also drops a flock taken on it.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// LockRegistry - opens (creating) "queue.cfg.lck" beside the channel file
// queueFile and waits for its exclusive flock. flock belongs to the open file
// description, so two threads of one process, each with its own open,
// exclude each other as processes do. Returns false, with the failure
// logged, when either step fails.
bool LockRegistry(const char* queueFile, Fd* lock) {
    // The lock file's path is derived, not kept: cChannel's fields are
    // fixed. queueFile always ends in the channel file's name.
    static const char kCfg[] = "queue.cfg";
    std::string path(queueFile);
    path.replace(path.size() - (sizeof kCfg - 1), std::string::npos, "queue.cfg.lck");
    int fd = MQSysCallTable()->open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) {
        LogFailure("open", path, errno);
        return false;
    }
    lock->reset(fd);
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            LogFailure("lock", path, errno);
            return false;
        }
    }
    return true;
}

// ReadLines - every line of the file, line ends kept, in order. A missing
// file holds no lines. Returns false, with the failure logged, when the file
// can't be opened or a read fails: a registry read only in part must never
// be written back.
bool ReadLines(const char* path, std::vector<std::string>* lines) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(path, "re"), fclose);
    if (file == nullptr) {
        if (errno == ENOENT) return true;
        LogFailure("open", path, errno);
        return false;
    }
    std::string line;
    while (mqcommon::ReadLine(file.get(), &line)) lines->push_back(line);
    bool ok = !ferror(file.get());
    int err = errno;
    file.reset();
    if (!ok) LogFailure("read", path, err);
    return ok;
}

// ChannelOf - field 1 of a line, as ParseBuf takes it (line end kept).
std::string ChannelOf(const std::string& line) {
    std::vector<std::string> fields = mqcommon::SplitChannelFields(line.c_str(), 1);
    return fields.empty() ? std::string() : fields[0];
}

bool Registered(const std::vector<std::string>& lines, const char* channel) {
    for (const std::string& line : lines) {
        if (strcasecmp(ChannelOf(line).c_str(), channel) == 0) return true;
    }
    return false;
}

// Successor - the channel file's replacement, made under its temporary name
// by the durable-file module. The text is kept until Commit writes it whole
// (a channel file is small); if it is dropped uncommitted, the temporary
// file is removed and the channel file stays as it was.
class Successor {
public:
    explicit Successor(const char* path) : path_(path) {}
    Successor(const Successor&) = delete;
    Successor& operator=(const Successor&) = delete;

    // Open - creates the temporary file afresh. Whatever a killed registry
    // (or anyone else) left under its name goes first: the file is made with
    // O_EXCL, so a link planted there is removed, never followed. False
    // (logged) on failure.
    bool Open() { return Done(file_.Create(path_, true, 0666)); }

    // Write - appends text; it reaches the file at Commit.
    void Write(const std::string& text) { text_ += text; }

    // Commit - writes the text, syncs it, renames the file over target and
    // syncs the directory, so that the rename itself survives a crash. False
    // (logged) when any step fails; until the rename the target is
    // untouched and the temporary file is removed.
    bool Commit(const char* target) {
        return Done(file_.Write(text_.data(), text_.size())) &&
               Done(file_.Publish(target, true));
    }

private:
    bool Done(const mq::Status& status) {
        if (!status.ok()) LogMessage(MQLOG_ERROR, kLogApp, status.Cause().c_str());
        return status.ok();
    }

    std::string path_;
    std::string text_;
    mqdurable::NewFile file_;
};

// WriteNonBlank - writes the lines of text (split after each LF) that are not
// blank.
void WriteNonBlank(Successor* out, const std::string& text) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(start, end - start);
        if (!mqcommon::IsBlankLine(line.c_str())) out->Write(line);
        start = end;
    }
}

// The causes of MQ_ERR_CHANNEL_REQUEST that depend on the file; the others
// come from RegistrationProblem. Callers tell them apart by these texts'
// first words, so they stay as they are.
const char kRegistered[] = "already registered";
const char kNotRegistered[] = "not registered";

// Refuse - logs why a request was refused and returns MQ_ERR_CHANNEL_REQUEST.
// The channel name is shown escaped: it may be what was wrong with it.
int Refuse(const char* op, const char* channel, const char* cause) {
    try {
        std::string name;
        for (const char* p = channel != nullptr ? channel : ""; *p != '\0'; ++p) {
            unsigned char c = static_cast<unsigned char>(*p);
            if (c < 0x20 || c == 0x7f) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02x", c);
                name += hex;
            } else {
                name += static_cast<char>(c);
            }
        }
        LogMessage(MQLOG_WARNING, kLogApp,
                   (std::string(op) + " channel \"" + name + "\": refused: " + cause).c_str());
    } catch (...) {
        // No memory for the log line; the result still says it was refused.
    }
    return MQ_ERR_CHANNEL_REQUEST;
}

// DeletableName - a name Del may look for: a field can never hold a space or
// tab, and an empty or control-laden name would match blank or broken lines.
// Longer names than the store takes are allowed, so that such a record,
// written by other means, can still be removed.
bool DeletableName(const char* name) {
    if (name == nullptr || *name == '\0') return false;
    for (const char* p = name; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == ' ' || c < 0x20 || c == 0x7f) return false;
    }
    return true;
}

// WithoutLineEnd - the text with trailing CR and LF removed.
std::string WithoutLineEnd(std::string text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
    return text;
}

char* PathIn(const std::string& dir, const char* name) {
    return strdup((dir + "/" + name).c_str());
}

}  // namespace

bool IsLineSpace(const char* pszBuffer) { return mqcommon::IsBlankLine(pszBuffer); }

void ParseBuf(const char* szBuf, char* szQueue, char* szModuleName) {
    std::vector<std::string> fields;
    try {
        fields = mqcommon::SplitChannelFields(szBuf, 2);
    } catch (...) {
        // No memory: the line reads as one without fields.
    }
    if (szQueue != nullptr) {
        std::string field = fields.size() > 0 ? fields[0] : std::string();
        memcpy(szQueue, field.c_str(), field.size() + 1);
    }
    if (szModuleName != nullptr) {
        std::string field = fields.size() > 1 ? fields[1] : std::string();
        memcpy(szModuleName, field.c_str(), field.size() + 1);
    }
}

cChannel::cChannel()
    : iniFileName(strdup(kIniFile)), szQueueFile(nullptr), szTmpFile(nullptr), szLdapHost() {
    char dir[256];
    errno = 0;
    GetPrivateProfileString("Config", "InstallDirectory", "", dir, sizeof dir, kIniFile);
    GetPrivateProfileString("Ldap", "Hostname", "", szLdapHost, sizeof szLdapHost, kIniFile);
    // The reader gives the defaults when memory runs out: an installation
    // directory that reads as empty then would put the registry at "/".
    if (errno == ENOMEM) return;
    try {
        // The "/" always stands between: "/opt/mq/" gives "/opt/mq//queue.cfg",
        // and an unset directory gives "/queue.cfg".
        std::string base(dir);
        szQueueFile = PathIn(base, "queue.cfg");
        szTmpFile = PathIn(base, "queue.tmp");
    } catch (...) {
        // Out of memory: the operations see a missing path and fail.
    }
}

cChannel::~cChannel() {
    free(iniFileName);
    iniFileName = nullptr;
    free(szQueueFile);
    szQueueFile = nullptr;
    free(szTmpFile);
    szTmpFile = nullptr;
}

bool cChannel::IsExist(const char* channel) {
    if (channel == nullptr || szQueueFile == nullptr) return false;
    try {
        std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(szQueueFile, "re"), fclose);
        if (file == nullptr) return false;
        std::string line;
        bool found = false;
        while (!found && mqcommon::ReadLine(file.get(), &line)) {
            found = strcasecmp(ChannelOf(line).c_str(), channel) == 0;
        }
        return found;
    } catch (...) {
        return false;
    }
}

int cChannel::Add(const char* channel, const char* application, const char* type,
                  char compability) {
    if (const char* problem =
            mqcommon::RegistrationProblem(channel, application, type, compability)) {
        return Refuse("add", channel, problem);
    }
    // A request refused by what the file holds now is refused without the
    // lock; under it the file is read and checked again.
    if (IsExist(channel)) return Refuse("add", channel, kRegistered);
    if (szQueueFile == nullptr || szTmpFile == nullptr) return MQ_ERR_FILE;
    try {
        Fd lock;
        if (!LockRegistry(szQueueFile, &lock)) return MQ_ERR_FILE;
        std::vector<std::string> lines;
        if (!ReadLines(szQueueFile, &lines)) return MQ_ERR_FILE;
        if (Registered(lines, channel)) return Refuse("add", channel, kRegistered);

        Successor out(szTmpFile);
        if (!out.Open()) return MQ_ERR_FILE;
        // A last line without a line end (a file edited by other means) is
        // held back: the new record completes it, as appending would.
        std::string tail;
        for (const std::string& line : lines) {
            if (line.empty() || line.back() != '\n') {
                tail = line;
            } else if (!mqcommon::IsBlankLine(line.c_str())) {
                out.Write(line);
            }
        }
        if (!AddModuleName(szLdapHost, application)) return MQ_ERR_DIRECTORY_ADD;

        std::string fields = std::string(channel) + "\t\t" + application + "\t\t" + type;
        if (compability == 0) {
            tail += "\r\n" + fields + "\r\n";
        } else {
            // This form has no line end ahead of it; give an unterminated
            // last line one, or the record would be glued onto it.
            if (!tail.empty()) tail += "\r\n";
            tail += fields + "\t\t" + compability + "\r\n";
        }
        WriteNonBlank(&out, tail);
        if (!out.Commit(szQueueFile)) return MQ_ERR_FILE;
        return MQ_SUCCESS;
    } catch (...) {
        LogMessage(MQLOG_ERROR, kLogApp, "add channel: out of memory");
        return MQ_ERR_FILE;
    }
}

int cChannel::Del(const char* channel) {
    if (!DeletableName(channel)) {
        return Refuse("delete", channel, "bad channel name: empty, or holding a space or a "
                                         "control character");
    }
    if (!IsExist(channel)) return Refuse("delete", channel, kNotRegistered);
    if (szQueueFile == nullptr || szTmpFile == nullptr) return MQ_ERR_FILE;
    try {
        Fd lock;
        if (!LockRegistry(szQueueFile, &lock)) return MQ_ERR_FILE;
        std::vector<std::string> lines;
        if (!ReadLines(szQueueFile, &lines)) return MQ_ERR_FILE;
        if (!Registered(lines, channel)) return Refuse("delete", channel, kNotRegistered);

        Successor out(szTmpFile);
        if (!out.Open()) return MQ_ERR_FILE;
        for (const std::string& line : lines) {
            std::vector<std::string> fields = mqcommon::SplitChannelFields(line.c_str(), 2);
            if (fields.empty() || strcasecmp(fields[0].c_str(), channel) != 0) {
                out.Write(line);
                continue;
            }
            // The directory lists the name without the line end that a
            // two-field record carries in its application field; a record
            // without an application has nothing listed to remove.
            std::string application = fields.size() > 1 ? WithoutLineEnd(fields[1]) : "";
            if (!application.empty() && !DelModuleName(szLdapHost, application.c_str())) {
                return MQ_ERR_DIRECTORY_DEL;
            }
        }
        if (!out.Commit(szQueueFile)) return MQ_ERR_FILE;
        return MQ_SUCCESS;
    } catch (...) {
        LogMessage(MQLOG_ERROR, kLogApp, "delete channel: out of memory");
        return MQ_ERR_FILE;
    }
}

int cChannel::List(ChannelListFn fn, void* context) {
    if (fn == nullptr) return MQ_ERR_CHANNEL_REQUEST;
    if (szQueueFile == nullptr) return MQ_ERR_FILE;
    try {
        std::vector<std::string> lines;
        if (!ReadLines(szQueueFile, &lines)) return MQ_ERR_FILE;
        for (const std::string& line : lines) {
            mqcommon::ChannelRecord record;
            if (!mqcommon::ParseChannelRecord(line.c_str(), &record)) continue;
            if (fn(context, record.channel.c_str(), record.application.c_str(),
                   record.direction.c_str(), record.flag) != 0) {
                break;
            }
        }
        return MQ_SUCCESS;
    } catch (...) {
        LogMessage(MQLOG_ERROR, kLogApp, "list channels: out of memory");
        return MQ_ERR_FILE;
    }
}
