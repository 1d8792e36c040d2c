// store_agent - a reader for the liveness tests, run in another PID
// namespace or under another user with /proc mounted hidepid=2: it prints
// the identifier of the first entry its channel offers (0 for none) and
// closes the channel again, which gives the entry back.
//
// Usage: store_agent INI CHANNEL. Exit status 0, or 1 when the store can't
// be used.
#include <cstdio>

#include "mq.h"

int main(int argc, char** argv) {
    if (argc != 3 || !MQInit(argv[1], "agent")) return 1;
    MQContext* reader = OpenMQChannel(argv[2]);
    if (reader == nullptr) return 1;
    std::printf("%lu\n", GetFirstMessage(reader, false));
    return CloseMQChannel(reader) ? 0 : 1;
}
