// put - puts one message into a channel through the installed toolkit and
// writes its body by the rename pattern: the body goes to the entry's
// ".tmp" path and is renamed to its ".msg" path, so that no reader ever sees
// half a body.
//
//   MQ_CONFIG_DIR=/srv/mq put RELAY "Hello, Bob"
#include <mqapi.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: put CHANNEL BODY\n");
        return 2;
    }
    cMQ mq;
    if (mq.OpenMQChannel("put", "daduv.ini") != MQ_SUCCESS) return 1;

    cUserInfo alice, bob;
    alice.setLan_addr("alice@example.org");
    bob.setLan_addr("bob@example.org");
    cEnvHeader from, to;
    from.add(&alice);
    to.add(&bob);
    cMessage msg;
    msg.setFrom(&from);
    msg.setTo(&to);

    int rc = mq.PutMsg(&msg, argv[1]);  // durable once it returns 0
    if (rc != MQ_SUCCESS) {
        std::fprintf(stderr, "put: %s\n", MQResultText(rc));
        return 1;
    }
    // Both answers share one buffer: keep the first before asking again.
    std::string tmp = mq.GetMsgDest(".tmp");
    std::string final = mq.GetMsgDest(".msg");
    FILE* f = std::fopen(tmp.c_str(), "wx");
    bool ok = f != nullptr && std::fputs(argv[2], f) >= 0;
    ok = f != nullptr && std::fclose(f) == 0 && ok;
    if (!ok || std::rename(tmp.c_str(), final.c_str()) != 0) {
        std::perror(tmp.c_str());
        return 1;
    }
    std::printf("put %s\n", final.c_str());
    return 0;
}
