// log_helper - a process that logs as the logger tests tell it to.
//
// The logger chooses its destination once per process, so every
// configuration runs in a process of its own, started by the tests with
// MQ_LOG set. The first argument says what to do:
//
//   lines LEVEL APP TEXT [LEVEL APP TEXT ...]  one LogMessage call each;
//                                 APP or TEXT "(null)" passes a null pointer
//   hook LEVEL APP TEXT [...]     as lines, with a failure hook set that
//                                 writes "LEVEL|APP|TEXT|ctx" lines to
//                                 stderr
//   format                        LogMessagef(3, "fmt", "%s=%d|%5.1f", "n", 42, 2.5)
//   errno N                       N lines, then exits 3 if errno changed
//   threads T N                   T threads log N lines each, at once
//   restart                       logs "one", waits for a byte on stdin, logs "two"
//   fork N                        while a thread logs without pause, forks N
//                                 children that each log a line and exit
//
// Exit status 0 when all went as it should; an alarm ends a process that
// blocks, so a hang shows as death by SIGALRM.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "log.h"
#include "thread_line.h"

namespace {

const unsigned kAlarmSeconds = 60;

// seconds, stretched by the factor MQTEST_TIME_SCALE gives for a run slower
// than native (under an emulator).
unsigned Scaled(unsigned seconds) {
    const char* scale = std::getenv("MQTEST_TIME_SCALE");
    int factor = scale != nullptr ? std::atoi(scale) : 1;
    return seconds * static_cast<unsigned>(factor > 1 ? factor : 1);
}

const char* OrNull(const char* arg) { return std::strcmp(arg, "(null)") == 0 ? nullptr : arg; }

int Threads(int count, int lines) {
    std::vector<std::thread> threads;
    for (int t = 0; t < count; ++t) {
        threads.emplace_back([t, lines] {
            for (int i = 0; i < lines; ++i)
                LogMessage(MQLOG_INFO, "threads", mqtest::ThreadLine(t, i).c_str());
        });
    }
    for (std::thread& t : threads) t.join();
    return 0;
}

int Restart() {
    LogMessage(MQLOG_NOTICE, "restart", "one");
    char byte;
    if (read(STDIN_FILENO, &byte, 1) != 1) return 4;
    LogMessage(MQLOG_NOTICE, "restart", "two");
    return 0;
}

int Fork(int children) {
    std::atomic<bool> stop{false};
    std::thread busy([&stop] {
        while (!stop) LogMessage(MQLOG_DEBUG, "busy", "busy");
    });
    int failed = 0;
    const unsigned childAlarm = Scaled(10);
    for (int i = 0; i < children; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            alarm(childAlarm);  // a child that finds the logger locked dies of it
            LogMessage(MQLOG_NOTICE, "child", "forked");
            _exit(0);
        }
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0) {
            ++failed;
            break;  // one hang is proof enough, and each costs seconds
        }
    }
    stop = true;
    busy.join();
    return failed == 0 ? 0 : 5;
}

}  // namespace

int main(int argc, char** argv) {
    alarm(Scaled(kAlarmSeconds));
    if (argc < 2) return 2;
    std::string mode = argv[1];
    if (mode == "hook" || mode == "lines") {
        if (mode == "hook") {
            LogSetFailureHook(
                [](int level, const char* app, const char* text, void* context) {
                    std::fprintf(stderr, "%d|%s|%s|%s\n", level, app, text, static_cast<const char*>(context));
                },
                const_cast<char*>("ctx"));
        }
        for (int i = 2; i + 2 < argc; i += 3)
            LogMessage(std::atoi(argv[i]), OrNull(argv[i + 1]), OrNull(argv[i + 2]));
        return 0;
    }
    if (mode == "format") {
        LogMessagef(MQLOG_ERROR, "fmt", "%s=%d|%5.1f", "n", 42, 2.5);
        return 0;
    }
    if (mode == "errno" && argc == 3) {
        int lines = std::atoi(argv[2]);
        for (int i = 0; i < lines; ++i) {
            errno = EDOM;
            LogMessage(MQLOG_ERROR, "errno", "a line");
            LogMessagef(MQLOG_ERROR, "errno", "line %d", i);
            if (errno != EDOM) return 3;
        }
        return 0;
    }
    if (mode == "threads" && argc == 4) return Threads(std::atoi(argv[2]), std::atoi(argv[3]));
    if (mode == "restart") return Restart();
    if (mode == "fork" && argc == 3) return Fork(std::atoi(argv[2]));
    return 2;
}
