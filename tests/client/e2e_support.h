// e2e_support.h - for the end-to-end tests: a temporary installation
// directory (daduv.ini, queue.cfg, the spool the store makes there) and the
// agent processes that work in it, started by fork/exec, followed line by
// line, and ended by their process id.
#ifndef MQ_TEST_E2E_SUPPORT_H
#define MQ_TEST_E2E_SUPPORT_H

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "child.h"  // Program, Child
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

// One agent process (tests/client/e2e_agent.cpp) working in an install dir,
// its standard input and output on pipes (mqtest::Child); what it writes to
// standard error is shown when it is waited for.
class Agent {
public:
    Agent(const InstallDir& dir, const std::vector<std::string>& args)
        : program_(Argv(args), {"MQ_CONFIG_DIR=" + dir.path()}), child_(program_) {
        if (child_.pid() > 0) out_ = fdopen(dup(child_.output()), "r");
    }
    ~Agent() {
        if (out_ != nullptr) std::fclose(out_);
    }
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;

    bool started() const { return child_.pid() > 0 && out_ != nullptr; }

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
        if (child_.input() >= 0 && write(child_.input(), "g", 1) != 1) return;
    }
    // Kills the agent outright and reaps it, so that its pid is gone.
    void Kill() {
        if (child_.pid() > 0) kill(child_.pid(), SIGKILL);
        Wait();
    }
    // Waits for the agent; its exit code, or 128 + the signal that ended it.
    int Wait() {
        if (child_.pid() <= 0) return status_;
        std::string err;
        status_ = child_.Finish("", nullptr, &err);
        std::fputs(err.c_str(), stderr);
        if (status_ < 0) status_ = status_ == -1000 ? -1 : 128 - status_;
        return status_;
    }

private:
    static std::vector<std::string> Argv(const std::vector<std::string>& args) {
        std::vector<std::string> argv{MQTEST_E2E_AGENT};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    mqtest::Program program_;
    mqtest::Child child_;
    FILE* out_ = nullptr;
    int status_ = -1;
};

// Message i of tag as a "get" agent reports it.
inline std::string MsgLine(const std::string& tag, int i) {
    std::string n = std::to_string(i);
    return "MSG s" + n + "@" + tag + ".example.org a" + n + "@example.org,b" + n +
           "@example.org " + tag + " body " + n;
}

}  // namespace e2e

#endif
