// commands.cpp - the table of mqctl's commands and their help texts.
#include "commands.h"

namespace mqctl {

namespace {

const OptionDef kJson{"json", false};
const OptionDef kDryRun{"dry-run", false};
const OptionDef kQuiet{"quiet", false};

// The options of delete, hold, release and requeue, for their help.
#define CHANGE_OPTIONS                                                     \
    "  --dry-run     check and say what would change, changing nothing\n" \
    "  -q, --quiet   print only the total\n"

}  // namespace

const std::vector<Command>& AllCommands() {
    static const std::vector<Command> commands = {
        {"channel add", "channel add NAME APP in|out [--flag C]",
         "register a channel served by application APP",
         "Adds the channel to queue.cfg and APP to the modules of the host's\n"
         "directory entry (Ldap Hostname), both or neither.\n"
         "  --flag C   the channel's flag letter (C or c)\n",
         {{"flag", true}}, RunChannelAdd},
        {"channel del", "channel del NAME [--force]", "remove a channel and its module name",
         "Removes every record of the channel from queue.cfg, taking each\n"
         "record's application out of the host's directory entry first.\n"
         "A channel that still holds entries (queued, held or failed) is kept:\n"
         "nothing would read them any more.\n"
         "  --force   remove it all the same\n",
         {{"force", false}}, RunChannelDel},
        {"channel list", "channel list [--json]", "list the registered channels",
         "One line (or JSON object) per record of queue.cfg: channel,\n"
         "application, direction, flag letter.\n",
         {kJson}, RunChannelList},
        {"put", "put CHANNEL --from ADDR --to ADDR [--to ADDR ...] [FILE|-] [--path] [--json]",
         "queue a message whose body is FILE (standard input when - or none)",
         "The store makes the body durable with the entry's commit: exit 0\n"
         "means both are durable, and a failure leaves nothing behind. Prints\n"
         "the entry's identifier. A small body is kept in the database and gets\n"
         "its file when its path is first asked for (show, get, deliver, --path).\n"
         "For a mail system's pipe: 65 for an address the queue refuses, 75 for\n"
         "a fault to wait out (see mqctl(8), MAIL SYSTEMS).\n"
         "  --from ADDR   the sender (exactly one; <> or empty for the null sender)\n"
         "  --to ADDR     a recipient (one or more)\n"
         "  --path        print the message file's path too (written now)\n",
         {{"from", true}, {"to", true}, {"path", false}, kJson}, RunPut},
        {"get", "get CHANNEL [--delete] [--body] [--json]",
         "take the next message of a channel",
         "Prints its identifier, sender, recipients and path. A message taken\n"
         "without --delete goes back to the queue deferred, offered again after\n"
         "its backoff (\"handed back: deferred, next in 5m\"; flush offers it at\n"
         "once). Use show to look without that. Nothing waiting: exit 1.\n"
         "  --delete   remove the message once its output is written and flushed\n"
         "             (an output that can't be written leaves it queued, exit 75);\n"
         "             for operators: a script that hands messages on uses deliver\n"
         "  --body     print the body as well\n",
         {{"delete", false}, {"body", false}, kJson}, RunGet},
        {"deliver",
         "deliver CHANNEL [--max N | --follow [--concurrency N] [--stop-timeout S]]\n"
         "       -- COMMAND [ARG...]",
         "hand each message of a channel to a command, removing it after",
         "Takes the channel's messages one at a time and runs COMMAND for each\n"
         "with the body on standard input (its standard output is thrown away).\n"
         "An argument that is exactly {recipients} becomes one argument per\n"
         "recipient; {sender} (<> for the null sender), {id} and {channel} are\n"
         "replaced inside any argument. The command's exit decides:\n"
         "  0                the message is removed (\"ID delivered\" on standard output)\n"
         "  75 or a signal   deferred: offered again after its backoff (MinimalBackoff,\n"
         "                   doubling up to MaximalBackoff; see daduv.ini(5))\n"
         "  126, 127         the command can't be run: given back, deliver stops (75)\n"
         "  anything else    set aside as failed, with the exit status and the first\n"
         "                   line of the command's standard error as its reason\n"
         "                   (mqctl list --failed, show; requeue offers it again)\n"
         "Stops when nothing is waiting, or after N messages. The message stays\n"
         "leased while its command runs: another reader is never handed it, and a\n"
         "deliver killed mid-way loses nothing (the store gives it back). Exit 0\n"
         "when every message was delivered, 1 when one was deferred or set aside.\n"
         "  --max N   at most N messages\n"
         "  --follow  stay running: hand each message on as it arrives (a delivery\n"
         "            service; SIGTERM or SIGINT stops it, exit 0), one log line per\n"
         "            attempt on standard error (id= channel= status= attempt= delay=\n"
         "            reason=)\n"
         "  --concurrency N   with --follow: up to N commands at once (default 1)\n"
         "  --stop-timeout S  with --follow: on stopping, wait S seconds for running\n"
         "                    commands (default 30), then signal them\n"
         "Example: mqctl deliver OUT -- /usr/sbin/sendmail -i -f {sender} -- {recipients}\n",
         {{"max", true}, {"follow", false}, {"concurrency", true}, {"stop-timeout", true}},
         RunDeliver},
        {"list",
         "list [CHANNEL] [--from RE] [--to RE] [--older-than AGE] [--younger-than AGE]\n"
         "       [--held] [--failed] [--sort id|age|size] [--limit N]\n"
         "       [--ids | --count | --json] [--wide]",
         "list the queue's entries",
         "One line per entry: identifier, channel, age, size, state, last reason\n"
         "(\"-\", or reason,age[,operator]: returned, deferred, reader-died, failed,\n"
         "expired, held, released, requeued), sender, recipients. A deferred\n"
         "entry's state is deferred,WAIT (its next attempt). Lines come as the entries are\n"
         "read; --sort age and size read them all first. Control characters,\n"
         "spaces and backslashes in names and\n"
         "addresses are shown escaped (\\n, \\x20, \\\\). On a terminal lines are\n"
         "cut to its width and recipient lists shortened (\"bob@example.org,+2\").\n"
         "Regular expressions are POSIX extended ones, letter case ignored,\n"
         "matched anywhere in the address (anchor with ^ and $).\n"
         "  --from RE          entries whose sender matches\n"
         "  --to RE            entries with a recipient that matches\n"
         "  --older-than AGE   entries older than AGE (90s, 30m, 2h, 1d, 1w)\n"
         "  --younger-than AGE entries younger than AGE\n"
         "  --held             only held entries (with --failed: either)\n"
         "  --failed           only entries set aside as failed\n"
         "  --sort KEY         id (the default), age (oldest first) or size\n"
         "                     (largest first)\n"
         "  --limit N          at most N entries, the first in that order\n"
         "  --ids              identifiers only, one a line (for mqctl delete -)\n"
         "  --count            print only the number of entries\n"
         "  --wide             whole lines on a terminal too\n",
         {{"from", true}, {"to", true}, {"older-than", true}, {"younger-than", true},
          {"held", false}, {"failed", false}, {"sort", true}, {"limit", true}, {"ids", false}, {"count", false},
          {"wide", false}, kJson},
         RunList},
        {"show", "show ID [--body] [--json]", "show one entry's envelope",
         "Prints the entry's state, attempts, age, size, sender, recipients and\n"
         "path without taking it from the queue, its last hand-out, and the last\n"
         "reason it came back or was moved (by whom, when).\n"
         "  --body   print the body as well\n",
         {{"body", false}, kJson}, RunShow},
        {"delete", "delete ID... | delete - | delete ALL CHANNEL [--dry-run] [-q]",
         "remove entries with their files",
         "With -, identifiers are read from standard input (separated by white\n"
         "space). ALL, in capitals, removes every entry of the channel named.\n"
         "When one identifier is unknown nothing is removed. Each entry removed\n"
         "is named, then the total.\n" CHANGE_OPTIONS,
         {kDryRun, kQuiet}, RunDelete},
        {"hold", "hold ID... | hold - [--dry-run] [-q]",
         "keep entries from being offered to readers",
         "Held entries stay in the queue until released.\n" CHANGE_OPTIONS, {kDryRun, kQuiet}, RunHold},
        {"release", "release ID... | release - [--dry-run] [-q]", "offer held entries again",
         "Every entry must be held; when one is not, nothing changes.\n" CHANGE_OPTIONS,
         {kDryRun, kQuiet},
         RunRelease},
        {"requeue", "requeue ID... | requeue - [--dry-run] [-q]",
         "offer failed entries again, attempts from 0",
         "Entries that came back from readers MaxAttempts times are set aside\n"
         "as failed (list --failed shows them). Every entry must be failed;\n"
         "when one is not, nothing changes.\n" CHANGE_OPTIONS,
         {kDryRun, kQuiet}, RunRequeue},
        {"flush", "flush [CHANNEL | ID...]", "offer deferred entries again now",
         "Entries put off by their readers (\"deferred, next in 4m\" in list and\n"
         "show) wait out their backoff; flush makes them due at once: every\n"
         "deferred entry, a channel's, or those named. Their counts stay.\n",
         {}, RunFlush},
        {"summary", "summary [--by channel|domain] [--json]", "count entries per channel by age",
         "A queue-shape table: per channel (or recipient domain) the entries\n"
         "in all, held, failed, their bytes, the oldest one's age, and the\n"
         "entries by age in minutes (5 = under 5 minutes, 10 = 5 to 10, ...,\n"
         "1280+ = older). The first row, \"(all channels)\", is the whole queue.\n"
         "  --by domain   one row per recipient domain (an entry counts once\n"
         "                for each domain it is addressed to)\n",
         {{"by", true}, kJson}, RunSummary},
        {"check", "check [--quick] [--json] | check --nagios [CHANNEL] [THRESHOLDS]",
         "check the installation's health",
         "Configuration found and readable, installation directory, channel\n"
         "file, database integrity, message files without an entry and entries\n"
         "without a file, entries of channels no longer registered, the\n"
         "directory server (not configured is no problem), the host's entry\n"
         "and the channels whose application its module list lacks. Each\n"
         "problem comes with what to do; the exit code is 1 when there is one.\n"
         "Reads only: stopped half way (Ctrl-C), it leaves everything as it was.\n"
         "On a terminal, standard error shows how far the long parts are.\n"
         "  --quick    every check whose time does not grow with the queue: the\n"
         "             database's header, schema and size instead of the full\n"
         "             integrity scan, and no walk of the entries or the files\n"
         "             (for monitoring agents; run the full check daily)\n"
         "  --nagios   answer as mqctl monitor does (see mqctl help monitor),\n"
         "             with its --warn-age, --crit-age, --warn-count, --crit-count\n",
         {kJson, {"quick", false}, {"nagios", false}, {"warn-age", true}, {"crit-age", true},
          {"warn-count", true}, {"crit-count", true}},
         RunCheck},
        {"metrics", "metrics", "the queue's figures for a metrics scraper",
         "Prints gauges in the text exposition format of metric scrapers, one\n"
         "series per channel (every registered channel, 0 when empty):\n"
         "  mqtoolkit_queue_entries{channel,state}   entries queued, held, failed\n"
         "  mqtoolkit_queue_bytes{channel,state}     their message bytes\n"
         "  mqtoolkit_queue_oldest_age_seconds{channel}\n"
         "  mqtoolkit_queue_leased_entries{channel}  handed to a reader\n"
         "  mqtoolkit_queue_attempts{channel}        hand-outs that came back\n"
         "For a textfile collector, write to a temporary file and rename it:\n"
         "  mqctl metrics > DIR/mq.prom.tmp && mv DIR/mq.prom.tmp DIR/mq.prom\n",
         {}, RunMetrics},
        {"monitor",
         "monitor [CHANNEL] [--warn-age AGE] [--crit-age AGE] [--warn-count N]\n"
         "       [--crit-count N]",
         "the queue's state as a monitoring plugin reports it",
         "One status line with performance data, for the whole queue or one\n"
         "channel: entries (queued, held and failed), the oldest one's age,\n"
         "held and failed entries. A threshold is reached at its value.\n"
         "  --warn-age AGE, --crit-age AGE   the oldest entry's age (30m, 2h)\n"
         "  --warn-count N, --crit-count N   the number of entries\n"
         "Exit codes: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN (the queue can't\n"
         "be read, or the command line is wrong).\n",
         {{"warn-age", true}, {"crit-age", true}, {"warn-count", true}, {"crit-count", true}},
         RunMonitor},
    };
    return commands;
}

}  // namespace mqctl
