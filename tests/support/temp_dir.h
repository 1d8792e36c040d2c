// temp_dir.h - fresh directories for tests, removed with everything in them.
//
// MakeTempDir and RemoveTree for a directory whose life a fixture manages
// itself; TempDir for one that lives as long as an object. Not thread-safe;
// one owner.
#ifndef MQTEST_TEMP_DIR_H
#define MQTEST_TEMP_DIR_H

#include <ftw.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace mqtest {

// A fresh directory below under (by default $TMPDIR, or /tmp) named after
// prefix; "" on failure. The caller removes it (RemoveTree).
inline std::string MakeTempDir(const std::string& prefix, std::string under = "") {
    const char* tmp = std::getenv("TMPDIR");
    if (under.empty()) under = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    std::string path = under + "/" + prefix + "-XXXXXX";
    std::vector<char> buf(path.begin(), path.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) return "";
    return buf.data();
}

// Removes path and everything below it, never following a symbolic link.
inline void RemoveTree(const std::string& path) {
    if (path.empty()) return;
    nftw(
        path.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return std::remove(p); },
        16, FTW_DEPTH | FTW_PHYS);
}

class TempDir {
  public:
    explicit TempDir(const std::string& prefix = "mqtest") : path_(MakeTempDir(prefix)) {}
    ~TempDir() { RemoveTree(path_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Empty when the directory could not be made.
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

    // Writes content (any bytes) to name; returns the file's path.
    std::string Write(const std::string& name, const std::string& content) const {
        std::string file = File(name);
        std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
        return file;
    }

  private:
    std::string path_;
};

}  // namespace mqtest

#endif
