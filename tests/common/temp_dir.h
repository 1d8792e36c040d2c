// temp_dir.h - a fresh directory for one test, removed with what it holds.
//
// Only files (and sockets) directly inside are removed; a test that makes
// subdirectories removes them itself. Not thread-safe; one owner.
#ifndef MQTEST_TEMP_DIR_H
#define MQTEST_TEMP_DIR_H

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace mqtest {

class TempDir {
  public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base ? base : "/tmp") + "/mqtest.XXXXXX";
        if (mkdtemp(&pattern[0]) != nullptr) path_ = pattern;
    }
    ~TempDir() {
        if (path_.empty()) return;
        if (DIR* dir = opendir(path_.c_str())) {
            while (dirent* entry = readdir(dir)) {
                if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                    unlink(File(entry->d_name).c_str());
            }
            closedir(dir);
        }
        rmdir(path_.c_str());
    }
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
