// put - puts one message with its body into a channel through the
// installed toolkit, in one call: the store writes and syncs the body before
// it commits the entry, so that success means both are durable and no
// reader ever sees half a body.
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

    const std::string body = argv[2];
    int rc = mq.PutMsgBody(&msg, argv[1], body.data(), body.size());
    if (rc != MQ_SUCCESS) {
        std::fprintf(stderr, "put: %s\n", MQResultText(rc));
        return 1;
    }
    std::printf("put into %s\n", argv[1]);
    return 0;
}
