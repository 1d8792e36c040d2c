// child.h - child processes for tests: a function run in a forked child, a
// program run with pipes to its standard input, output and error, and the
// end of either.
//
// A Program's command line and environment are made before the fork, so
// that a child of a threaded test only execs. Writing to a child that has
// gone must not kill the test: starting a Child ignores SIGPIPE in this
// process (the program itself starts with it at its default).
//
// Use from one thread: fork copies only the calling thread. Ownership: a
// Child owns its pipes and kills and reaps its process if not finished.
#ifndef MQTEST_CHILD_H
#define MQTEST_CHILD_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

extern char** environ;

namespace mqtest {

// Spawn - runs body in a child process, which ends with body's result as its
// exit status (_exit: the child runs none of the parent's exit handlers, and
// output buffered before the fork is written once). -1 when fork fails.
inline pid_t Spawn(const std::function<int()>& body) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    return pid;
}

// Wait - the exit status of child pid, -signal when a signal ended it, or
// -1000 when it can't be waited for (pid -1 included: no such child).
inline int Wait(pid_t pid) {
    if (pid <= 0) return -1000;
    int status = 0;
    pid_t got;
    while ((got = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (got != pid) return -1000;
    if (WIFSIGNALED(status)) return -WTERMSIG(status);
    return WEXITSTATUS(status);
}

// Program - argv (argv[0] looked up in PATH) and this process's environment
// changed by env: "NAME=value" sets NAME, a bare "NAME" removes it.
class Program {
  public:
    explicit Program(std::vector<std::string> argv, const std::vector<std::string>& env = {})
        : args_(std::move(argv)) {
        for (std::string& a : args_) argv_.push_back(&a[0]);
        argv_.push_back(nullptr);
        if (env.empty()) return;  // the program inherits the environment as it is
        for (char** e = environ; *e != nullptr; ++e) env_.push_back(*e);
        for (const std::string& change : env) {
            std::string prefix = change.substr(0, change.find('=')) + "=";
            for (size_t i = env_.size(); i-- > 0;) {
                if (env_[i].compare(0, prefix.size(), prefix) == 0) env_.erase(env_.begin() + i);
            }
            if (change.size() >= prefix.size()) env_.push_back(change);
        }
        for (std::string& e : env_) envp_.push_back(&e[0]);
        envp_.push_back(nullptr);
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // In a child: becomes the program, SIGPIPE at its default; exit status
    // 127 when it can't.
    [[noreturn]] void Exec() const {
        signal(SIGPIPE, SIG_DFL);
        if (args_.empty()) _exit(127);
        if (envp_.empty()) {
            execvp(argv_[0], argv_.data());
        } else {
            execvpe(argv_[0], argv_.data(), envp_.data());
        }
        _exit(127);
    }

  private:
    std::vector<std::string> args_, env_;
    std::vector<char*> argv_, envp_;
};

// Child - a Program running with its standard input, output and error on
// pipes of this process (error into the output's pipe when merged).
class Child {
  public:
    explicit Child(const Program& program, bool merged = false) {
        signal(SIGPIPE, SIG_IGN);
        int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 ||
            (!merged && pipe2(err, O_CLOEXEC) != 0)) {
            for (int fd : {in[0], in[1], out[0], out[1]}) Close(fd);
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            dup2(merged ? out[1] : err[1], STDERR_FILENO);
            program.Exec();
        }
        for (int fd : {in[0], out[1], err[1]}) Close(fd);
        in_ = in[1];
        out_ = out[0];
        err_ = err[0];
        if (pid_ < 0) Finish("", nullptr, nullptr);
    }
    ~Child() {
        if (pid_ > 0) kill(pid_, SIGKILL);
        Finish("", nullptr, nullptr);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // The child's process id; -1 when it could not be started.
    pid_t pid() const { return pid_; }
    // The write end of the child's standard input, the read end of its
    // output; -1 once closed.
    int input() const { return in_; }
    int output() const { return out_; }

    // Writes input (all of it, as far as the child reads), closes the
    // child's standard input, reads its output and error to their ends into
    // *out and *err (either may be null: read and dropped) and reaps it.
    // Returns as Wait does; -1000 when it was never started or was finished.
    int Finish(const std::string& input, std::string* out, std::string* err) {
        size_t written = 0;
        if (input.empty()) Close(in_);
        while (in_ >= 0 || out_ >= 0 || err_ >= 0) {
            pollfd fds[3] = {{in_, POLLOUT, 0}, {out_, POLLIN, 0}, {err_, POLLIN, 0}};
            if (poll(fds, 3, -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (fds[0].revents != 0) {
                ssize_t n = write(in_, input.data() + written, input.size() - written);
                if (n > 0) written += static_cast<size_t>(n);
                if ((n < 0 && errno != EINTR && errno != EAGAIN) || written == input.size()) {
                    Close(in_);
                }
            }
            Drain(fds[1].revents, &out_, out);
            Drain(fds[2].revents, &err_, err);
        }
        for (int* fd : {&in_, &out_, &err_}) Close(*fd);
        int status = Wait(pid_);
        pid_ = -1;
        return status;
    }

  private:
    static void Close(int& fd) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    // Reads what fd has after poll gave revents; closes it at its end.
    static void Drain(short revents, int* fd, std::string* into) {
        if (revents == 0) return;
        char buf[4096];
        ssize_t n = read(*fd, buf, sizeof buf);
        if (n > 0 && into != nullptr) into->append(buf, static_cast<size_t>(n));
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) Close(*fd);
    }

    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
};

// RunProgram - runs argv[0] (searched in PATH) with the other elements as
// arguments, the text input on its standard input; stores standard output
// and error, interleaved, in *output (when not null). Returns the exit
// status, or -1 when the program could not be run or died of a signal.
inline int RunProgram(const std::vector<std::string>& argv, const std::string& input,
                      std::string* output) {
    if (argv.empty()) return -1;
    Program program(argv);
    Child child(program, true);
    std::string text;
    int status = child.Finish(input, &text, nullptr);
    if (output != nullptr) *output = text;
    return status < 0 ? -1 : status;
}

}  // namespace mqtest

#endif
