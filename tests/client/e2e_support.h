// e2e_support.h - for the end-to-end tests: a temporary installation
// directory (daduv.ini, queue.cfg, the spool the store makes there) and the
// agent processes that work in it, started by fork/exec, followed line by
// line, and ended by their process id.
#ifndef MQ_TEST_E2E_SUPPORT_H
#define MQ_TEST_E2E_SUPPORT_H

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "child.h"  // Program
#include "temp_dir.h"

namespace e2e {

// A fresh installation directory with the channels RELAY (out) and local
// (in) registered; removed with everything in it by the destructor.
class InstallDir {
public:
    InstallDir() {
        dir_ = mqtest::MakeTempDir("mqclient-e2e");
        std::ofstream ini(dir_ + "/daduv.ini");
        ini << "[Config]\nInstallDirectory=" << dir_ << "\n";
        std::ofstream cfg(dir_ + "/queue.cfg", std::ios::binary);
        cfg << "RELAY\t\tsmtpd\t\tout\r\n"
            << "local\t\tlocal\t\tin\t\tC\r\n";
    }
    ~InstallDir() { mqtest::RemoveTree(dir_); }
    InstallDir(const InstallDir&) = delete;
    InstallDir& operator=(const InstallDir&) = delete;

    const std::string& path() const { return dir_; }
    bool ok() const { return !dir_.empty(); }

private:
    std::string dir_;
};

// One agent process (tests/client/e2e_agent.cpp) working in an install dir.
class Agent {
public:
    Agent(const InstallDir& dir, const std::vector<std::string>& args) {
        std::vector<std::string> argv{MQTEST_E2E_AGENT};
        argv.insert(argv.end(), args.begin(), args.end());
        mqtest::Program agent(argv, {"MQ_CONFIG_DIR=" + dir.path()});
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            agent.Exec();
        }
        close(in[0]);
        close(out[1]);
        toChild_ = in[1];
        out_ = fdopen(out[0], "r");
    }
    ~Agent() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (toChild_ >= 0) close(toChild_);
        if (out_ != nullptr) std::fclose(out_);
    }
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;

    bool started() const { return pid_ > 0 && out_ != nullptr; }

    // The next line the agent wrote, without its line end; "(eof)" once it
    // closed its output.
    std::string ReadLine() {
        std::string line;
        int c;
        while (out_ != nullptr && (c = std::fgetc(out_)) != EOF && c != '\n') line += char(c);
        if (line.empty() && (out_ == nullptr || std::feof(out_))) return "(eof)";
        return line;
    }
    // Every further line up to the end of the agent's output.
    std::vector<std::string> ReadAll() {
        std::vector<std::string> lines;
        for (std::string l = ReadLine(); l != "(eof)"; l = ReadLine()) lines.push_back(l);
        return lines;
    }
    // Lets a waiting "get" agent start reading.
    void Go() {
        if (toChild_ >= 0 && write(toChild_, "g", 1) != 1) return;
    }
    // Kills the agent outright and reaps it, so that its pid is gone.
    void Kill() {
        if (pid_ <= 0 || reaped_) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
        reaped_ = true;
    }
    // Waits for the agent; its exit code, or 128 + the signal that ended it.
    int Wait() {
        if (pid_ <= 0) return -1;
        if (!reaped_) {
            waitpid(pid_, &status_, 0);
            reaped_ = true;
        }
        if (WIFEXITED(status_)) return WEXITSTATUS(status_);
        return WIFSIGNALED(status_) ? 128 + WTERMSIG(status_) : -1;
    }

private:
    pid_t pid_ = -1;
    int toChild_ = -1;
    FILE* out_ = nullptr;
    bool reaped_ = false;
    int status_ = 0;
};

// Message i of tag as a "get" agent reports it.
inline std::string MsgLine(const std::string& tag, int i) {
    std::string n = std::to_string(i);
    return "MSG s" + n + "@" + tag + ".example.org a" + n + "@example.org,b" + n +
           "@example.org " + tag + " body " + n;
}

}  // namespace e2e

#endif
