// Builds a message through the installed toolkit and checks what it holds,
// then calls one function of each platform layer whose header is installed:
// the one link line (pkg-config or the CMake target) must bring them all.
#include <ldapclient.h>
#include <log.h>
#include <mqadmin.h>
#include <mqapi.h>
#include <profile.h>

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
    char value[16];
    GetPrivateProfileString("Config", "Missing", "default", value, sizeof value,
                            "/nonexistent/daduv.ini");
    if (std::strcmp(value, "default") != 0) {
        std::fprintf(stderr, "INI reader gave %s for a missing file\n", value);
        return 1;
    }
    ldapClient client;
    client.ldapClientUnbind();  // not connected: harmless
    LogMessage(MQLOG_DEBUG, "app", "installed toolkit linked every layer");
    std::printf("installed toolkit: message from %s to %s (%s), entries %s\n",
                sender.getLan_addr(), first->getLan_addr(), MQResultName(MQ_SUCCESS),
                mqadmin::StateName(mqadmin::EntryState::Queued));
    return 0;
}
