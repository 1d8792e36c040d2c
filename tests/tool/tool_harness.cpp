// tool_harness.cpp - installations and mqctl runs for the tool's tests.
#include "tool_harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "child.h"
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
                      "\nHostname=" + host + "\nTimeout=" + LdapIni().timeout + "\n";
    WriteFileText(dir_ + "/daduv.ini", ini);
    // It holds the directory's password: kept from other users, as check wants.
    chmod((dir_ + "/daduv.ini").c_str(), 0640);
}

namespace {

// mqctl with args and the installation's environment, changed by
// envOverride.
Program Mqctl(const std::string& dir, const std::vector<std::string>& args,
              const std::vector<std::string>& envOverride) {
    std::vector<std::string> argv{MQCTL_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env{"MQ_CONFIG_DIR=" + dir, "MQ_LOG=" + dir + "/mq.log"};
    env.insert(env.end(), envOverride.begin(), envOverride.end());
    return Program(argv, env);
}

}  // namespace

RunResult Installation::Run(const std::vector<std::string>& args, const std::string& input,
                            const std::vector<std::string>& envOverride) const {
    RunResult r;
    Child child(Mqctl(dir_, args, envOverride));
    r.status = child.Finish(input, &r.out, &r.err);
    r.status = std::max(r.status, -1);
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
    Program mqctl = Mqctl(dir_, args, {});
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, &ws);
    if (pid < 0) return r;
    if (pid == 0) {
        int ferr = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int fin = open("/dev/null", O_RDONLY);
        if (ferr < 0 || fin < 0) _exit(126);
        dup2(ferr, 2);
        dup2(fin, 0);
        mqctl.Exec();
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
    r.status = std::max(Wait(pid), -1);
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

std::string ReadyToDeliver(const Installation& inst, const std::string& commands) {
    if (Ok(inst, {"channel", "add", "OUT", "relay", "out"}).status != 0) return "";
    std::string script = inst.dir() + "/hand-off.sh";
    bool made = WriteFileText(script, "#!/bin/sh\nbody=$(cat)\n" + commands + "exit 0\n") &&
                chmod(script.c_str(), 0755) == 0;
    EXPECT_TRUE(made) << "can't write " << script;
    return made ? script : "";
}

}  // namespace mqtest
