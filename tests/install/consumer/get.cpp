// get - takes the next message of a channel through the installed toolkit,
// prints its sender, recipients and body, and deletes it.
//
//   MQ_CONFIG_DIR=/srv/mq get RELAY
#include <mqapi.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: get CHANNEL\n");
        return 2;
    }
    cMQ mq;
    if (mq.OpenMQChannel("get", "daduv.ini") != MQ_SUCCESS) return 1;
    cMessage* msg = mq.GetMsg(argv[1]);  // the cMQ's own: never delete it
    if (msg == nullptr) {
        std::printf("nothing waiting\n");
        mq.CloseMQChannel();
        return 1;
    }
    // A user read back holds no address when the store's failed the check.
    cUserInfo* sender = msg->getFrom()->getFirst();
    const char* addr = sender != nullptr ? sender->getLan_addr() : nullptr;
    std::printf("from %s\n", addr != nullptr ? addr : "(none)");
    cEnvHeader* to = msg->getTo();
    to->getFirst();
    for (cUserInfo* u = to->getNext(); u != nullptr; u = to->getNext())
        std::printf("to %s\n", u->getLan_addr() != nullptr ? u->getLan_addr() : "(none)");
    if (FILE* f = std::fopen(msg->getMsgpath(), "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f) != nullptr) std::printf("body %s", line);
        std::fclose(f);
        std::printf("\n");
    }
    int rc = mq.DelMsg();
    mq.CloseMQChannel();
    return rc == MQ_SUCCESS ? 0 : 1;
}
