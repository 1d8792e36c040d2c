// Builds a message through the installed toolkit and checks what it holds.
#include <mqapi.h>

#include <cstdio>
#include <cstring>

int main() {
    cUserInfo sender;
    cUserInfo recipient;
    if (sender.setLan_addr("alice@example.org") != MQ_SUCCESS ||
        recipient.setLan_addr("bob@example.org") != MQ_SUCCESS ||
        recipient.setLan_addr("1bad@example.org") != MQ_ERR_BAD_ADDRESS) {
        std::fprintf(stderr, "address check misbehaves\n");
        return 1;
    }
    cEnvHeader from;
    cEnvHeader to;
    from.add(&sender);
    to.add(&recipient);
    cMessage message;
    message.setFrom(&from);
    message.setTo(&to);
    cUserInfo* first = message.getTo()->getFirst();
    if (first == nullptr || std::strcmp(first->getLan_addr(), "bob@example.org") != 0) {
        std::fprintf(stderr, "recipient header lost its user\n");
        return 1;
    }
    std::printf("installed toolkit: message from %s to %s (%s)\n", sender.getLan_addr(),
                first->getLan_addr(), MQResultName(MQ_SUCCESS));
    return 0;
}
