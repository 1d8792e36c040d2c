// log_tail.h - the lines a test's code logged, read back from the file that
// MQ_LOG names (the test's CMake entry sets it).
#ifndef MQTEST_LOG_TAIL_H
#define MQTEST_LOG_TAIL_H

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace mqtest {

class LogTail {
public:
    // Starts at the file's present end.
    LogTail() { NewLines(); }

    // The lines logged since the last call.
    std::vector<std::string> NewLines() {
        std::vector<std::string> lines;
        const char* path = std::getenv("MQ_LOG");
        if (path == nullptr || path[0] != '/') return lines;
        std::ifstream in(path);
        in.seekg(static_cast<std::streamoff>(offset_));
        std::string line;
        while (std::getline(in, line)) {
            offset_ += line.size() + 1;
            lines.push_back(line);
        }
        return lines;
    }

private:
    size_t offset_ = 0;
};

inline std::string JoinLines(const std::vector<std::string>& lines) {
    std::ostringstream out;
    for (const std::string& l : lines) out << "\n  " << l;
    return out.str();
}

}  // namespace mqtest

#endif
