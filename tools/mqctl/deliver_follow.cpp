// deliver_follow.cpp - deliver --follow: a delivery service. It stays
// running, hands each due entry of its channel to the command as it
// arrives, up to N commands at once, and stops cleanly on SIGTERM or SIGINT.
//
// One thread, one poll(2) over:
// - an inotify watch on the spool directory, for writes to "queue.db-wal"
//   (and "queue.db"): every commit of the store writes its frames there, so
//   a put anywhere wakes the service at once, and an idle queue wakes it
//   never;
// - a signalfd for SIGCHLD (a command ended), SIGTERM and SIGINT (stop);
// - each running command's standard error, read for its first line;
// - a timeout: the next deferred entry's due time (one index step in the
//   store), at most kTick, which also catches a body a writer renamed in
//   after its commit (that writes no frame) and the clean-up after readers
//   that died.
// Each entry is leased to one of N read handles while its command runs, so
// no other reader is handed it; a SIGKILL leaves the leases to the store's
// clean-up after dead readers (the entry offered again at once).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <mq.h>
#include <mqadmin.h>
#include <mqapi.h>
#include <mqput.h>

#include "commands.h"
#include "deliver_follow.h"
#include "session.h"

namespace mqctl {

namespace {

// The longest wait without a look at the queue.
const int kTickMs = 5000;
// Store faults: a look that fails is tried again after 1 s, doubling up to
// kFaultMaxMs; a fault that lasts kFaultLimitMs stops the service (75).
const int kFaultFirstMs = 1000;
const int kFaultMaxMs = 60000;
const int64_t kFaultLimitMs = 10 * 60 * 1000;
const size_t kReasonMax = 200;

int64_t MonoMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A value for the log line: as it is when it holds no space, quote,
// backslash or control character; else in double quotes, with \" \\ and
// \xHH.
std::string LogValue(const std::string& text) {
    bool plain = !text.empty();
    for (unsigned char c : text) plain = plain && c > 0x20 && c != 0x7f && c != '"' && c != '\\';
    if (plain) return text;
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

struct Slot {
    MQContext* handle = nullptr;
    unsigned long id = 0;  // 0: free
    pid_t pid = 0;
    int errFd = -1;
    std::string reason;
    bool lineDone = false;
    bool exited = false;
    int status = 0;  // 128 + N after signal N
    bool signaled = false;
    uint32_t attempt = 0;
    int64_t created = 0;
    bool stopKilled = false;  // signalled by the service as it stopped
};

// Clear - s free again, keeping its read handle.
void Clear(Slot& s) {
    MQContext* handle = s.handle;
    s = Slot();
    s.handle = handle;
}

class Service {
  public:
    Service(const std::string& command, const std::string& channel,
            const std::vector<std::string>& words, const FollowOptions& options)
        : command_(command), channel_(channel), words_(words), options_(options) {}

    int Run();

  private:
    bool Setup();
    // Hands due entries to free slots; false on a store fault.
    bool Fill();
    void Start(Slot& s);
    void ReadErr(Slot& s);
    void Finish(Slot& s);
    void Reap();
    void Log(const Slot& s, const char* status, const std::string& reason);
    int Running() const {
        return static_cast<int>(std::count_if(slots_.begin(), slots_.end(),
                                              [](const Slot& s) { return s.id != 0; }));
    }

    std::string command_, channel_;
    std::vector<std::string> words_;
    FollowOptions options_;
    std::vector<Slot> slots_;
    int inotify_ = -1;
    int signals_ = -1;
    bool stopping_ = false;
    int64_t stopAt_ = 0;
    bool cantRun_ = false;
    int64_t faultSince_ = 0;
    int faultDelay_ = kFaultFirstMs;
    int64_t retryAt_ = 0;
};

bool Service::Setup() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0 ||
        (signals_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK)) < 0) {
        PrintError(command_, std::string("signalfd: ") + std::strerror(errno));
        return false;
    }
    std::string spool = mqadmin::SpoolDirectory();
    inotify_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (inotify_ < 0 || inotify_add_watch(inotify_, spool.c_str(),
                                          IN_MODIFY | IN_CREATE | IN_MOVED_TO) < 0) {
        PrintError(command_, "inotify on " + spool + ": " + std::strerror(errno));
        return false;
    }
    slots_.resize(static_cast<size_t>(options_.concurrency));
    for (Slot& s : slots_) {
        s.handle = OpenMQChannel(channel_.c_str());
        if (s.handle == nullptr) {
            PrintError(command_, "the store failed to open channel " + channel_);
            return false;
        }
    }
    return true;
}

void Service::Log(const Slot& s, const char* status, const std::string& reason) {
    int64_t delay = std::max<int64_t>(0, mqadmin::ClockMs() / 1000 - s.created);
    std::fprintf(stderr, "id=%lu channel=%s status=%s attempt=%u delay=%lld reason=%s\n", s.id,
                 LogValue(channel_).c_str(), status, s.attempt, static_cast<long long>(delay),
                 LogValue(reason).c_str());
    std::fflush(stderr);
}

bool Service::Fill() {
    for (Slot& s : slots_) {
        if (stopping_ || cantRun_) return true;
        if (s.id != 0) continue;
        unsigned long id = GetNextMessage(s.handle, false);
        if (id == 0) return !MQLastCallFailed();
        mqadmin::EntryInfo info;
        if (!mqadmin::GetEntryInfo(id, &info)) {
            mqadmin::GiveBackEntry(id, mqadmin::GiveBackKind::Untried, nullptr, nullptr);
            return false;
        }
        Clear(s);
        s.id = id;
        s.created = info.created;
        s.attempt = info.deferrals + info.attempts + 1;
        Envelope env;
        env.id = id;
        env.channel = channel_;
        env.sender = info.sender.empty() ? "<>" : info.sender;
        env.recipients = info.recipients;
        mq::Status started = StartCommand(CommandLine(words_, env), info.path, &s.pid, &s.errFd);
        if (!started.ok()) {
            s.exited = true;
            s.status = 126;
            s.reason = started.Cause();
            Finish(s);
        }
    }
    return true;
}

void Service::ReadErr(Slot& s) {
    char buf[4096];
    for (;;) {
        ssize_t n = read(s.errFd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return;
        if (n <= 0) {
            close(s.errFd);
            s.errFd = -1;
            return;
        }
        for (ssize_t i = 0; i < n && !s.lineDone; ++i) {
            if (buf[i] == '\n') {
                s.lineDone = true;
            } else if (s.reason.size() < kReasonMax) {
                s.reason += buf[i];
            }
        }
    }
}

void Service::Reap() {
    for (;;) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid <= 0) return;
        for (Slot& s : slots_) {
            if (s.id == 0 || s.pid != pid) continue;
            s.exited = true;
            s.signaled = WIFSIGNALED(status);
            s.status = s.signaled ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
            if (s.errFd >= 0) ReadErr(s);
            if (s.errFd >= 0) {
                close(s.errFd);
                s.errFd = -1;
            }
            Finish(s);
        }
    }
}

void Service::Finish(Slot& s) {
    const std::string id = std::to_string(s.id);
    if (s.stopKilled) {
        // Stopped by the service, not by its own fault: back untried.
        mqadmin::GiveBackEntry(s.id, mqadmin::GiveBackKind::Untried, nullptr, nullptr);
        Log(s, "deferred", "stopped with the service");
    } else if (!s.signaled && s.status == 0) {
        if (RemoveMQChannel(s.handle)) {
            Log(s, "sent", s.reason);
        } else {
            // Delivered, but it stays: offered again (at least once).
            Log(s, "deferred", "delivered but not removed: " + s.reason);
        }
    } else if (s.signaled || s.status == 75) {
        std::string why = (s.signaled ? "signal " + std::to_string(s.status - 128)
                                      : std::string("exit 75")) +
                          (s.reason.empty() ? "" : ": " + s.reason);
        mqadmin::EntryInfo after;
        mqadmin::AdminResult r =
            mqadmin::GiveBackEntry(s.id, mqadmin::GiveBackKind::Deferred, why.c_str(), &after);
        bool expired = r == mqadmin::AdminResult::Done &&
                       after.state == mqadmin::EntryState::Failed;
        Log(s, expired ? "expired" : "deferred", why);
    } else if (s.status == 126 || s.status == 127) {
        mqadmin::GiveBackEntry(s.id, mqadmin::GiveBackKind::Untried, nullptr, nullptr);
        Log(s, "deferred", "the command could not be run: " + s.reason);
        cantRun_ = true;
    } else {
        std::string why =
            "deliver: exit " + std::to_string(s.status) + (s.reason.empty() ? "" : ": " + s.reason);
        if (mqadmin::FailEntry(s.id, why.c_str()) == mqadmin::AdminResult::Done) {
            mqadmin::GiveBackEntry(s.id, mqadmin::GiveBackKind::Untried, nullptr, nullptr);
            Log(s, "failed", why);
        } else {
            mqadmin::GiveBackEntry(s.id, mqadmin::GiveBackKind::Deferred, why.c_str(), nullptr);
            Log(s, "deferred", why + " (could not be set aside)");
        }
    }
    Clear(s);
}

int Service::Run() {
    if (!Setup()) return kExitTempFail;
    int code = kExitOk;
    for (;;) {
        const int64_t now = MonoMs();
        if (!stopping_ && !cantRun_ && now >= retryAt_) {
            if (Fill()) {
                faultSince_ = 0;
                faultDelay_ = kFaultFirstMs;
            } else {
                if (faultSince_ == 0) faultSince_ = now;
                std::fprintf(stderr, "channel=%s status=store-fault retry-in=%d\n",
                             LogValue(channel_).c_str(), faultDelay_ / 1000);
                retryAt_ = now + faultDelay_;
                faultDelay_ = std::min(faultDelay_ * 2, kFaultMaxMs);
                if (now - faultSince_ >= kFaultLimitMs) {
                    PrintError(command_, "the store has failed for 10 minutes: stopping");
                    stopping_ = true;
                    code = kExitTempFail;
                    stopAt_ = now + options_.stopTimeoutS * 1000;
                }
            }
        }
        if (cantRun_ && !stopping_) {
            stopping_ = true;
            code = kExitTempFail;
            stopAt_ = now + options_.stopTimeoutS * 1000;
        }
        if (stopping_ && Running() == 0) break;
        if (stopping_ && now >= stopAt_) {
            // Past the stop timeout: SIGTERM, and 5 s later SIGKILL.
            bool termed = false;
            for (Slot& s : slots_) {
                if (s.id != 0 && s.pid > 0 && !s.stopKilled) {
                    s.stopKilled = true;
                    kill(s.pid, SIGTERM);
                    termed = true;
                }
            }
            for (Slot& s : slots_) {
                if (!termed && s.id != 0 && s.pid > 0) kill(s.pid, SIGKILL);
            }
            stopAt_ = now + 5000;
        }
        // How long to sleep: the next due entry, at most a tick.
        int64_t wait = kTickMs;
        if (!stopping_ && Running() < options_.concurrency) {
            int64_t due = 0;
            if (mqadmin::NextDue(channel_.c_str(), &due) && due > 0) {
                wait = std::min<int64_t>(wait, std::max<int64_t>(0, due - mqadmin::ClockMs()));
            }
        }
        if (retryAt_ > now) wait = std::min<int64_t>(wait, retryAt_ - now);
        if (stopping_) wait = std::min<int64_t>(wait, std::max<int64_t>(0, stopAt_ - now));
        std::vector<pollfd> fds{{signals_, POLLIN, 0}, {inotify_, POLLIN, 0}};
        for (const Slot& s : slots_) {
            if (s.errFd >= 0) fds.push_back({s.errFd, POLLIN, 0});
        }
        int n = poll(fds.data(), fds.size(), static_cast<int>(wait));
        if (n < 0 && errno != EINTR) {
            PrintError(command_, std::string("poll: ") + std::strerror(errno));
            code = kExitTempFail;
            stopping_ = true;
            stopAt_ = MonoMs() + options_.stopTimeoutS * 1000;
            continue;
        }
        if (fds[1].revents != 0) {
            char buf[4096];
            while (read(inotify_, buf, sizeof buf) > 0) {
            }
        }
        for (size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            for (Slot& s : slots_) {
                if (s.errFd == fds[i].fd) ReadErr(s);
            }
        }
        if (fds[0].revents != 0) {
            signalfd_siginfo info;
            while (read(signals_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                if ((info.ssi_signo == SIGTERM || info.ssi_signo == SIGINT) && !stopping_) {
                    stopping_ = true;
                    stopAt_ = MonoMs() + options_.stopTimeoutS * 1000;
                }
            }
            Reap();
        }
    }
    for (Slot& s : slots_) CloseMQChannel(s.handle);
    return code;
}

}  // namespace

int RunFollow(const std::string& command, const std::string& channel,
              const std::vector<std::string>& words, const FollowOptions& options) {
    Service service(command, channel, words, options);
    return service.Run();
}

}  // namespace mqctl
