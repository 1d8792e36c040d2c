// mqexample - builds a message with the toolkit's message model and shows
// what it holds.
#include <mqapi.h>

#include <cstdio>

int main() {
    cUserInfo sender;
    sender.setName("Alice");
    cUserInfo recipients[2];
    const char* addresses[2] = {"bob@example.org", "carol@mail.example.org"};

    if (sender.setLan_addr("alice@example.org") != MQ_SUCCESS) return 1;
    cEnvHeader from;
    cEnvHeader to;
    from.add(&sender);
    for (int i = 0; i < 2; ++i) {
        if (recipients[i].setLan_addr(addresses[i]) != MQ_SUCCESS) return 1;
        to.add(&recipients[i]);
    }
    cMessage message;
    message.setFrom(&from);
    message.setTo(&to);

    std::printf("sender:     %s\n", message.getFrom()->getFirst()->getLan_addr());
    for (cUserInfo* u = message.getTo()->getFirst(); (u = message.getTo()->getNext());)
        std::printf("recipient:  %s\n", u->getLan_addr());
    int rc = sender.setLan_addr("1alice@example.org");
    std::printf("an address starting with a digit: %s (%s)\n", MQResultName(rc),
                MQResultText(rc));
    return 0;
}
