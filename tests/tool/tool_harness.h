// tool_harness.h - runs the built mqctl as an administrator would: a fresh
// installation directory with its own daduv.ini, the real SQLite store, and
// the test program's private slapd holding the host's entry.
//
// Each Installation has a host of its own in the directory, so tests never
// see each other's module names. mqctl runs as a child process (fork/exec)
// with MQ_CONFIG_DIR pointing at the installation and MQ_LOG at a file in
// it, so that its standard error holds only what mqctl itself prints.
//
// Thread safety: main thread only. Ownership: an Installation removes its
// directory when destroyed.
#ifndef MQTEST_TOOL_HARNESS_H
#define MQTEST_TOOL_HARNESS_H

#include <cstdint>
#include <string>
#include <vector>

#include "json_reader.h"

namespace mqtest {

struct RunResult {
    int status = -1;  // exit code; -1 when mqctl could not run or died of a signal
    std::string out;
    std::string err;
    // Every line of out as a JSON object; false when one is not.
    bool Json(std::vector<mqtest::Json>* objects) const;
    // The lines of err.
    std::vector<std::string> ErrLines() const;
};

class Installation {
public:
    // extraConfig is appended to the [Config] section (e.g. "MaxAttempts=2").
    explicit Installation(const std::string& extraConfig = "");
    ~Installation();
    Installation(const Installation&) = delete;
    Installation& operator=(const Installation&) = delete;

    // "" when the installation is ready, else why not.
    const std::string& error() const { return error_; }
    const std::string& dir() const { return dir_; }
    const std::string& host() const { return host_; }
    std::string hostDn() const;

    // Runs mqctl with args, input on its standard input, and the
    // installation's environment; envOverride entries "K=V" replace them.
    RunResult Run(const std::vector<std::string>& args, const std::string& input = "",
                  const std::vector<std::string>& envOverride = {}) const;

    // Runs mqctl as Run does, but with standard output on a terminal (a
    // pseudo-terminal) of the given width; standard error and the exit code
    // as for Run, out holds what the terminal showed (line ends as CR LF).
    RunResult RunOnTerminal(const std::vector<std::string>& args, int columns) const;

    // Rewrites daduv.ini's [Ldap] section with another server port or host.
    void WriteIni(const std::string& ldapPort, const std::string& host,
                  const std::string& extraConfig = "") const;

    // Sets entry id's stored creation time (seconds since the epoch) in the
    // store's database behind mqctl's back; false when that fails.
    bool SetCreated(int64_t id, int64_t created) const;
    // Runs sql on the store's database behind mqctl's back; false when it
    // fails or changes no row.
    bool Exec(const std::string& sql) const;

    // The module names the host's entry lists, read with ldapsearch.
    std::vector<std::string> Modules() const;
    // What "nothing changed" compares: the channel file, the entries and
    // their files, and the host's modules.
    std::string Snapshot() const;

private:
    std::string dir_;
    std::string host_;
    std::string error_;
};

// The file's bytes; "" when it can't be read.
std::string ReadFileText(const std::string& path);
bool WriteFileText(const std::string& path, const std::string& text);

// Runs mqctl in inst and expects success with nothing on standard error
// (failures reported through GoogleTest).
RunResult Ok(const Installation& inst, const std::vector<std::string>& args,
             const std::string& input = "");

// Readies inst for the deliver tests: adds the channel OUT and writes the
// command to deliver to, an executable shell script hand-off.sh that reads
// the entry's body into $body, runs commands (deliver's arguments in $1...)
// and then exits 0. Returns the script's path; "" (failures reported
// through GoogleTest) when either step fails.
std::string ReadyToDeliver(const Installation& inst, const std::string& commands);

}  // namespace mqtest

#endif
