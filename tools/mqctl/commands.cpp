// commands.cpp - the table of mqctl's commands and their help texts.
#include "commands.h"

namespace mqctl {

namespace {

const OptionDef kJson{"json", false};

}  // namespace

const std::vector<Command>& AllCommands() {
    static const std::vector<Command> commands = {
        {"channel add", "channel add NAME APP in|out [--flag C]",
         "register a channel served by application APP",
         "Adds the channel to queue.cfg and APP to the modules of the host's\n"
         "directory entry (Ldap Hostname), both or neither.\n"
         "  --flag C   the channel's flag letter (C or c)\n",
         {{"flag", true}}, RunChannelAdd},
        {"channel del", "channel del NAME", "remove a channel and its module name",
         "Removes every record of the channel from queue.cfg, taking each\n"
         "record's application out of the host's directory entry first.\n",
         {}, RunChannelDel},
        {"channel list", "channel list [--json]", "list the registered channels",
         "One line (or JSON object) per record of queue.cfg: channel,\n"
         "application, direction, flag letter.\n",
         {kJson}, RunChannelList},
        {"put", "put CHANNEL --from ADDR --to ADDR [--to ADDR ...] [FILE|-] [--json]",
         "queue a message whose body is FILE (standard input when - or none)",
         "Reads the whole body first, then queues the message through the\n"
         "toolkit and writes the body by the rename pattern (\".tmp\" file,\n"
         "fsync, rename to \".msg\"). Prints the entry's identifier and path.\n"
         "  --from ADDR   the sender (exactly one; <> for the null sender)\n"
         "  --to ADDR     a recipient (one or more)\n",
         {{"from", true}, {"to", true}, kJson}, RunPut},
        {"get", "get CHANNEL [--delete] [--body] [--json]",
         "take the next message of a channel",
         "Prints its identifier, sender, recipients and path. A message taken\n"
         "without --delete goes back to the queue and counts as one attempt\n"
         "(use show to look without that).\n"
         "  --delete   remove the message from the queue\n"
         "  --body     print the body as well\n",
         {{"delete", false}, {"body", false}, kJson}, RunGet},
        {"list", "list [CHANNEL] [--from RE] [--to RE] [--older-than AGE] [--failed] [--count] [--json]",
         "list the queue's entries",
         "One line per entry: identifier, channel, age, size, state, sender,\n"
         "recipients. Regular expressions are POSIX extended ones, letter case\n"
         "ignored, matched anywhere in the address (anchor with ^ and $).\n"
         "  --from RE          entries whose sender matches\n"
         "  --to RE            entries with a recipient that matches\n"
         "  --older-than AGE   entries older than AGE (90s, 30m, 2h, 1d, 1w)\n"
         "  --failed           only entries set aside as failed\n"
         "  --count            print only the number of entries\n",
         {{"from", true}, {"to", true}, {"older-than", true}, {"failed", false},
          {"count", false}, kJson},
         RunList},
        {"show", "show ID [--body] [--json]", "show one entry's envelope",
         "Prints the entry's state, attempts, age, size, sender, recipients and\n"
         "path without taking it from the queue.\n"
         "  --body   print the body as well\n",
         {{"body", false}, kJson}, RunShow},
        {"delete", "delete ID... | delete - | delete ALL CHANNEL",
         "remove entries with their files",
         "With -, identifiers are read from standard input (separated by white\n"
         "space). ALL, in capitals, removes every entry of the channel named.\n"
         "When one identifier is unknown nothing is removed.\n",
         {}, RunDelete},
        {"hold", "hold ID... | hold -", "keep entries from being offered to readers",
         "Held entries stay in the queue until released.\n", {}, RunHold},
        {"release", "release ID... | release -", "offer held entries again", "", {},
         RunRelease},
        {"requeue", "requeue ID... | requeue -", "offer failed entries again, attempts from 0",
         "Entries that came back from readers MaxAttempts times are set aside\n"
         "as failed (list --failed shows them).\n",
         {}, RunRequeue},
        {"summary", "summary [--json]", "count entries per channel by age",
         "A queue-shape table: per channel the entries in all, held, failed,\n"
         "and by age in minutes (5 = under 5 minutes, 10 = 5 to 10, ...,\n"
         "1280+ = older).\n",
         {kJson}, RunSummary},
        {"check", "check [--json]", "check the installation's health",
         "Configuration found and readable, installation directory, channel\n"
         "file, database integrity, message files without an entry and entries\n"
         "without a file, the directory server and the host's entry. Each\n"
         "problem comes with what to do; the exit code is 1 when there is one.\n",
         {kJson}, RunCheck},
    };
    return commands;
}

}  // namespace mqctl
