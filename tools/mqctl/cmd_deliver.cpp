// cmd_deliver.cpp - deliver: a channel's messages handed one at a time to a
// command (a mail system's sendmail, say), each removed only after the
// command said it took it.
//
// The entry stays leased to this process while its command runs, so no other
// reader is handed it; an entry the command defers (exit 75, or killed by a
// signal) goes back deferred, offered again after its backoff (the store's
// retry schedule, mqadmin.h); one whose command can't be run at all goes
// back untried. A deliver killed at any point loses nothing: the store gives
// a dead reader's entries back.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <mqadmin.h>
#include <mqapi.h>
#include <mqput.h>

#include "commands.h"
#include "deliver_follow.h"
#include "session.h"

namespace mqctl {

namespace {

// The first line of what the command wrote on standard error is kept, this
// much of it.
const size_t kReasonMax = 200;

// OneLine - text with its control characters (C0 and DEL) as \xHH, so that
// it stays on one line; spaces and 8-bit text pass as they are.
std::string OneLine(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// Expand - text with every "{name}" the envelope knows replaced.
std::string Expand(const std::string& word, const Envelope& env) {
    std::string out;
    for (size_t i = 0; i < word.size();) {
        const std::pair<const char*, std::string> fields[] = {
            {"{sender}", env.sender},
            {"{id}", std::to_string(env.id)},
            {"{channel}", env.channel},
        };
        bool replaced = false;
        for (const auto& f : fields) {
            size_t n = std::strlen(f.first);
            if (word.compare(i, n, f.first) == 0) {
                out += f.second;
                i += n;
                replaced = true;
                break;
            }
        }
        if (!replaced) out += word[i++];
    }
    return out;
}

struct Outcome {
    mq::Status started;   // a failure: the command could not be started at all
    int status = 0;       // its exit status; 128 + N after signal N
    bool signaled = false;
    std::string reason;   // the first line of its standard error
};

// Run - runs argv with the body file on standard input, standard output
// thrown away, standard error read for its first line, and waits for it.
Outcome Run(const std::vector<std::string>& argv, const std::string& bodyPath) {
    Outcome out;
    int errFd = -1;
    pid_t pid = -1;
    out.started = StartCommand(argv, bodyPath, &pid, &errFd);
    if (!out.started.ok()) return out;
    // Read standard error to its end, waiting for each piece (a command
    // blocked on a full pipe would never exit), keeping the start of its
    // first line.
    fcntl(errFd, F_SETFL, fcntl(errFd, F_GETFL) & ~O_NONBLOCK);
    std::string first;
    bool lineDone = false;
    char buf[4096];
    for (;;) {
        ssize_t n = read(errFd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t i = 0; i < n && !lineDone; ++i) {
            if (buf[i] == '\n') {
                lineDone = true;
            } else if (first.size() < kReasonMax) {
                first += buf[i];
            }
        }
    }
    close(errFd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    out.reason = first;
    if (WIFSIGNALED(status)) {
        out.signaled = true;
        out.status = 128 + WTERMSIG(status);
    } else {
        out.status = WEXITSTATUS(status);
    }
    return out;
}

}  // namespace

// CommandLine - the command's words for one entry: a word that is exactly
// "{recipients}" becomes one word per recipient.
std::vector<std::string> CommandLine(const std::vector<std::string>& words, const Envelope& env) {
    std::vector<std::string> out;
    for (const std::string& w : words) {
        if (w == "{recipients}") {
            out.insert(out.end(), env.recipients.begin(), env.recipients.end());
        } else {
            out.push_back(Expand(w, env));
        }
    }
    return out;
}

mq::Status StartCommand(const std::vector<std::string>& argv, const std::string& bodyPath,
                        pid_t* child, int* errFd) {
    *child = -1;
    *errFd = -1;
    int body = open(bodyPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (body < 0) return mq::Status::FromErrno("open", bodyPath, errno);
    int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    int err[2];
    if (devnull < 0 || pipe2(err, O_CLOEXEC) != 0) {
        mq::Status failed = mq::Status::Error(std::string("pipe: ") + std::strerror(errno), errno);
        close(body);
        if (devnull >= 0) close(devnull);
        return failed;
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(body, STDIN_FILENO);
        dup2(devnull, STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        execvp(args[0], args.data());
        int e = errno;
        dprintf(STDERR_FILENO, "exec %s: %s\n", args[0], std::strerror(e));
        _exit(e == ENOENT ? 127 : 126);
    }
    int forkErrno = errno;
    close(body);
    close(devnull);
    close(err[1]);
    if (pid < 0) {
        close(err[0]);
        return mq::Status::Error(std::string("fork: ") + std::strerror(forkErrno), forkErrno);
    }
    fcntl(err[0], F_SETFL, O_NONBLOCK);
    *child = pid;
    *errFd = err[0];
    return mq::Status::OK();
}

int RunDeliver(const std::string& command, const Args& args) {
    const auto& words = args.Positional();
    if (words.size() < 2) return UsageError(command, "needs CHANNEL -- COMMAND [ARG...]");
    const std::string& channel = words[0];
    const std::vector<std::string> commandWords(words.begin() + 1, words.end());
    unsigned long max = 0;
    if (args.Has("max") && !ParseId(args.Value("max"), &max)) {
        return UsageError(command, "--max takes a number from 1: " + args.Value("max"));
    }
    const bool follow = args.Has("follow");
    FollowOptions options;
    unsigned long number = 0;
    if (args.Has("concurrency")) {
        if (!ParseId(args.Value("concurrency"), &number) || number > 256) {
            return UsageError(command,
                              "--concurrency takes a number from 1 to 256: " +
                                  args.Value("concurrency"));
        }
        options.concurrency = static_cast<int>(number);
    }
    if (args.Has("stop-timeout")) {
        if (!ParseId(args.Value("stop-timeout"), &number) || number > 86400) {
            return UsageError(command, "--stop-timeout takes seconds from 1 to 86400: " +
                                           args.Value("stop-timeout"));
        }
        options.stopTimeoutS = static_cast<int>(number);
    }
    if (!follow && (args.Has("concurrency") || args.Has("stop-timeout"))) {
        return UsageError(command, "--concurrency and --stop-timeout go with --follow");
    }
    if (follow && args.Has("max")) return UsageError(command, "--max and --follow exclude each other");
    Installation inst;
    if (!RequireInstallation(command, &inst)) return kExitTempFail;
    if (!IsRegistered(command, channel)) return kExitTempFail;
    cMQ mq;
    if (!OpenStore(mq, command)) return kExitTempFail;
    // A command that dies or closes its pipe must not take deliver with it.
    signal(SIGPIPE, SIG_IGN);
    if (follow) return RunFollow(command, channel, commandWords, options);

    unsigned long handled = 0;
    int exitCode = kExitOk;
    while (max == 0 || handled < max) {
        cMessage* m = mq.GetMsg(channel.c_str());
        if (m == nullptr) {
            if (MQLastCallFailed()) {
                PrintError(command, "the store failed to hand out a message of channel " + channel);
                exitCode = kExitTempFail;
            }
            break;
        }
        ++handled;
        Envelope env;
        env.channel = channel;
        std::string path = m->getMsgpath() != nullptr ? m->getMsgpath() : "";
        env.id = mqadmin::EntryIdFromPath(path.c_str());
        std::vector<std::string> from = Users(m->getFrom());
        env.sender = from.empty() || from[0].empty() ? "<>" : from[0];
        env.recipients = Users(m->getTo());
        const std::string id = std::to_string(env.id);

        Outcome out = Run(CommandLine(commandWords, env), path);
        if (!out.started.ok() || (!out.signaled && (out.status == 126 || out.status == 127))) {
            // The command can't be run: every entry would fare the same. This
            // one goes back untouched, and so do the rest.
            std::string why = !out.started.ok() ? out.started.Cause() : out.reason;
            mqadmin::GiveBackEntry(env.id, mqadmin::GiveBackKind::Untried, nullptr, nullptr);
            PrintError(command, "entry " + id + " given back: the command could not be run: " +
                                    OneLine(why));
            exitCode = kExitTempFail;
            break;
        }
        if (out.status == 0) {
            int rc = mq.DelMsg();
            if (rc != MQ_SUCCESS) {
                PrintResultError(command,
                                 "entry " + id + " was delivered but not deleted: it comes again",
                                 rc);
                exitCode = kExitTempFail;
                break;
            }
            std::printf("%s delivered\n", id.c_str());
            continue;
        }
        exitCode = kExitRefused;
        if (out.status == 75 || out.signaled) {
            // Tried again once its backoff is over.
            std::string why = (out.signaled ? "signal " + std::to_string(out.status - 128)
                                            : std::string("exit 75")) +
                              (out.reason.empty() ? "" : ": " + OneLine(out.reason));
            mqadmin::EntryInfo after;
            mqadmin::AdminResult r = mqadmin::GiveBackEntry(
                env.id, mqadmin::GiveBackKind::Deferred, why.c_str(), &after);
            std::string next;
            if (r == mqadmin::AdminResult::Done && after.state == mqadmin::EntryState::Failed) {
                next = " (set aside: it expired)";
            } else if (r == mqadmin::AdminResult::Done) {
                next = " (next in " +
                       std::to_string((after.due - mqadmin::ClockMs() + 999) / 1000) + "s)";
            }
            PrintError(command, "entry " + id + " deferred: " + why + next);
            continue;
        }
        std::string why = "deliver: exit " + std::to_string(out.status) +
                          (out.reason.empty() ? "" : ": " + OneLine(out.reason));
        mqadmin::AdminResult r = mqadmin::FailEntry(env.id, why.c_str());
        if (r != mqadmin::AdminResult::Done) {
            PrintError(command, "entry " + id + " was refused (" + why +
                                    ") but could not be set aside: it comes again");
            exitCode = kExitTempFail;
            break;
        }
        PrintError(command, "entry " + id + " set aside as failed: " + why);
    }
    // Whatever is still held (nothing, but for a failure above) goes back
    // to the queue deferred.
    mq.CloseMQChannel();
    return exitCode;
}

}  // namespace mqctl
