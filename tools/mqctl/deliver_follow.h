// deliver_follow.h - what deliver and its follow mode (the delivery service,
// deliver_follow.cpp) share: the envelope a command's words are filled
// from, the words themselves, and the start of a command.
//
// Thread safety: single-threaded. Ownership: plain values; the caller owns
// the descriptor StartCommand gives.
#ifndef MQCTL_DELIVER_FOLLOW_H
#define MQCTL_DELIVER_FOLLOW_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "status.h"

namespace mqctl {

struct Envelope {
    unsigned long id = 0;
    std::string channel;
    std::string sender;  // "<>" for the null sender
    std::vector<std::string> recipients;
};

// CommandLine - the command's words for one entry: a word that is exactly
// "{recipients}" becomes one word per recipient; "{sender}", "{id}" and
// "{channel}" are replaced inside any word.
std::vector<std::string> CommandLine(const std::vector<std::string>& words, const Envelope& env);

// StartCommand - starts argv with the file at bodyPath on standard input,
// standard output thrown away, standard error to a pipe whose read end
// (non-blocking, close-on-exec) goes to *errFd; the child starts with no
// signal blocked, its process id in *child. On failure *child is -1 and
// the cause says why.
mq::Status StartCommand(const std::vector<std::string>& argv, const std::string& bodyPath,
                        pid_t* child, int* errFd);

struct FollowOptions {
    int concurrency = 1;    // commands at once
    int stopTimeoutS = 30;  // the wait for running commands on SIGTERM or SIGINT
};

// RunFollow - deliver --follow: runs until SIGTERM or SIGINT (exit 0), a
// command that can't be run (75), or a store fault lasting 10 minutes (75).
// The store is open (MQInit) and channel registered.
int RunFollow(const std::string& command, const std::string& channel,
              const std::vector<std::string>& words, const FollowOptions& options);

}  // namespace mqctl

#endif
