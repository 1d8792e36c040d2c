// thread_line.h - the text the helper's threads log, shared with the tests
// that check it came through whole.
#ifndef MQTEST_THREAD_LINE_H
#define MQTEST_THREAD_LINE_H

#include <string>

namespace mqtest {

// Line i of thread t: its numbers, then a payload long enough that a line
// written in pieces would show.
inline std::string ThreadLine(int t, int i) {
    std::string payload(900, static_cast<char>('a' + (t + i) % 26));
    return "thread " + std::to_string(t) + " line " + std::to_string(i) + " " + payload + " end";
}

}  // namespace mqtest

#endif
