// tool_harness.cpp - installations and mqctl runs for the tool's tests.
#include "tool_harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "slapd_fixture.h"

namespace mqtest {

namespace {

int g_hosts = 0;

void ListTree(const std::string& dir, const std::string& prefix, std::vector<std::string>* out) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string path = dir + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            ListTree(path, prefix + name + "/", out);
        } else {
            out->push_back(prefix + name + " " + std::to_string(st.st_size));
        }
    }
    closedir(d);
}

}  // namespace

bool RunResult::Json(std::vector<mqtest::Json>* objects) const {
    std::string bad;
    return ParseLines(out, objects, &bad);
}

std::vector<std::string> RunResult::ErrLines() const {
    std::vector<std::string> lines;
    std::istringstream in(err);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool WriteFileText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

Installation::Installation(const std::string& extraConfig) {
    Slapd* slapd = Slapd::Get();
    if (slapd == nullptr) {
        error_ = "no slapd: " + Slapd::error();
        return;
    }
    dir_ = MakeTempDir("mqctl");
    if (dir_.empty()) {
        error_ = "no temporary directory";
        return;
    }
    host_ = "mx" + std::to_string(getpid()) + "-" + std::to_string(++g_hosts) + ".example.org";
    std::string out = slapd->AddHost(host_, {});
    if (!out.empty()) {
        error_ = "AddHost: " + out;
        return;
    }
    WriteIni(std::to_string(slapd->port()), host_, extraConfig);
}

Installation::~Installation() {
    if (!dir_.empty()) RemoveTree(dir_);
}

std::string Installation::hostDn() const {
    std::string label = host_.substr(0, host_.find('.'));
    return "host=" + host_ + ",dc=" + label + ",dc=example,dc=org";
}

void Installation::WriteIni(const std::string& ldapPort, const std::string& host,
                            const std::string& extraConfig) const {
    std::string ini = "[Config]\nInstallDirectory=" + dir_ + "\n" + extraConfig +
                      "\n[Ldap]\nHostName=127.0.0.1\nPort=" + ldapPort + "\nUsername=" +
                      Slapd::kWriterDn + "\nPassword=" + Slapd::kWriterPassword +
                      "\nHostname=" + host + "\n";
    WriteFileText(dir_ + "/daduv.ini", ini);
    // It holds the directory's password: kept from other users, as check wants.
    chmod((dir_ + "/daduv.ini").c_str(), 0640);
}

namespace {

// In a forked child: sets up the environment and runs mqctl; never returns.
[[noreturn]] void ExecMqctl(const std::string& dir, const std::vector<std::string>& args,
                            const std::vector<std::string>& envOverride) {
    setenv("MQ_CONFIG_DIR", dir.c_str(), 1);
    setenv("MQ_LOG", (dir + "/mq.log").c_str(), 1);
    for (const std::string& kv : envOverride) {
        size_t eq = kv.find('=');
        setenv(kv.substr(0, eq).c_str(), kv.substr(eq + 1).c_str(), 1);
    }
    std::vector<char*> argv;
    std::string bin = MQCTL_BIN;
    argv.push_back(const_cast<char*>(bin.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(bin.c_str(), argv.data());
    _exit(127);
}

int WaitFor(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

RunResult Installation::Run(const std::vector<std::string>& args, const std::string& input,
                            const std::vector<std::string>& envOverride) const {
    RunResult r;
    std::string in = dir_ + "/.stdin", out = dir_ + "/.stdout", err = dir_ + "/.stderr";
    WriteFileText(in, input);
    pid_t pid = fork();
    if (pid < 0) return r;
    if (pid == 0) {
        int fin = open(in.c_str(), O_RDONLY);
        int fout = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int ferr = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fin < 0 || fout < 0 || ferr < 0) _exit(126);
        dup2(fin, 0);
        dup2(fout, 1);
        dup2(ferr, 2);
        ExecMqctl(dir_, args, envOverride);
    }
    r.status = WaitFor(pid);
    r.out = ReadFileText(out);
    r.err = ReadFileText(err);
    return r;
}

bool Installation::SetCreated(int64_t id, int64_t created) const {
    return Exec("UPDATE entries SET created = " + std::to_string(created) +
                " WHERE id = " + std::to_string(id));
}

bool Installation::Exec(const std::string& sql) const {
    sqlite3* db = nullptr;
    bool ok = sqlite3_open((dir_ + "/spool/queue.db").c_str(), &db) == SQLITE_OK &&
              sqlite3_busy_timeout(db, 5000) == SQLITE_OK &&
              sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK &&
              sqlite3_changes(db) > 0;
    sqlite3_close(db);
    return ok;
}

RunResult Installation::RunOnTerminal(const std::vector<std::string>& args, int columns) const {
    RunResult r;
    std::string err = dir_ + "/.stderr";
    struct winsize ws = {};
    ws.ws_row = 24;
    ws.ws_col = static_cast<unsigned short>(columns);
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, &ws);
    if (pid < 0) return r;
    if (pid == 0) {
        int ferr = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int fin = open("/dev/null", O_RDONLY);
        if (ferr < 0 || fin < 0) _exit(126);
        dup2(ferr, 2);
        dup2(fin, 0);
        ExecMqctl(dir_, args, {});
    }
    // Read until the child's side closes (EIO on Linux), then reap it.
    char buf[4096];
    for (;;) {
        ssize_t n = read(master, buf, sizeof buf);
        if (n > 0) {
            r.out.append(buf, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    close(master);
    r.status = WaitFor(pid);
    r.err = ReadFileText(err);
    return r;
}

std::vector<std::string> Installation::Modules() const {
    return Slapd::Get()->Modules(hostDn());
}

std::string Installation::Snapshot() const {
    std::vector<std::string> files;
    ListTree(dir_ + "/spool/msg", "", &files);
    std::sort(files.begin(), files.end());
    std::string s = "queue.cfg:\n" + ReadFileText(dir_ + "/queue.cfg") + "\nfiles:\n";
    for (const std::string& f : files) s += f + "\n";
    s += "modules:";
    for (const std::string& m : Modules()) s += " " + m;
    // Ages move on between two snapshots; everything else must not.
    RunResult list = Run({"list", "--json"});
    std::vector<Json> entries;
    list.Json(&entries);
    s += "\nentries:\n";
    for (const Json& e : entries) {
        s += std::to_string(e["id"].Int()) + " " + e["channel"].str + " " + e["state"].str +
             " " + std::to_string(e["attempts"].Int()) + " " + e["from"].str + "\n";
    }
    return s;
}

RunResult Ok(const Installation& inst, const std::vector<std::string>& args,
             const std::string& input) {
    RunResult r = inst.Run(args, input);
    std::string cmd;
    for (const std::string& a : args) cmd += " " + a;
    EXPECT_EQ(r.status, 0) << "mqctl" << cmd << ": stderr: " << r.err;
    EXPECT_EQ(r.err, "") << "mqctl" << cmd;
    return r;
}

}  // namespace mqtest
