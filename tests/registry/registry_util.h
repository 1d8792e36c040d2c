// registry_util.h - helpers of the registry tests: a private installation
// directory with its daduv.ini, whole-file reads and writes, and a printable
// form of texts with control characters.
#ifndef MQTEST_REGISTRY_UTIL_H
#define MQTEST_REGISTRY_UTIL_H

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "slapd_fixture.h"

namespace regtest {

inline std::string Show(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else out += static_cast<char>(c);
    }
    return "\"" + out + "\"";
}

inline std::string Show(const std::vector<std::string>& v) {
    std::string out = "{";
    for (const std::string& s : v) out += (out.size() > 1 ? ", " : "") + Show(s);
    return out + "}";
}

inline bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// The file's bytes; "<missing>" when it can't be read.
inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline bool WriteAll(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    return static_cast<bool>(out);
}

// A fresh installation directory, dir(), with a configuration directory of
// its own that MQ_CONFIG_DIR points at while the object lives. Removed with
// everything in it at the end.
class Install {
public:
    Install() : root_(mqtest::MakeTempDir("mqtest-registry")) {
        dir_ = root_ + "/install";
        config_ = root_ + "/config";
        mkdir(dir_.c_str(), 0755);
        mkdir(config_.c_str(), 0755);
        setenv("MQ_CONFIG_DIR", config_.c_str(), 1);
    }
    ~Install() {
        unsetenv("MQ_CONFIG_DIR");
        mqtest::RemoveTree(root_);
    }
    Install(const Install&) = delete;
    Install& operator=(const Install&) = delete;

    const std::string& root() const { return root_; }
    const std::string& dir() const { return dir_; }
    const std::string& configDir() const { return config_; }
    std::string cfg() const { return dir_ + "/queue.cfg"; }
    std::string tmp() const { return dir_ + "/queue.tmp"; }

    // daduv.ini with only the registry's two keys (no directory server).
    bool WriteIni(const std::string& installDirectory, const std::string& host) const {
        return WriteAll(config_ + "/daduv.ini", "[Config]\nInstallDirectory=" + installDirectory +
                                                    "\n[Ldap]\nHostname=" + host + "\n");
    }

private:
    std::string root_, dir_, config_;
};

}  // namespace regtest

#endif
