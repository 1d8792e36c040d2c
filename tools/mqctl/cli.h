// cli.h - mqctl's command line: the options of one command and their values,
// the shapes of values (identifiers, ages), and the exit codes and error
// lines every command shares.
//
// Every error goes to standard error as one line, "mqctl: COMMAND: what";
// when a toolkit call gave a result code, the line holds its name and
// meaning, and when a layer below logged the cause of the failure (the file,
// the call, the system's reason), the line ends in that cause, whatever
// MQ_LOG says. Standard error carries nothing else.
//
// Thread safety: mqctl is single-threaded; nothing here is shared.
// Ownership: plain values, owned by the caller.
#ifndef MQCTL_CLI_H
#define MQCTL_CLI_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "status.h"

namespace mqctl {

// The exit codes mqctl(8) documents; scripts and mail
// systems rely on them. Those above 1 are sysexits.h's, which a mail
// system's pipe transport reads: 75 makes it defer and try again, 65 and 64
// make it bounce.
enum ExitCode {
    kExitOk = 0,         // done
    kExitRefused = 1,    // the command ran but (part of) it was refused
    kExitUsage = 64,     // EX_USAGE: the command line was wrong; nothing was touched
    kExitDataErr = 65,   // EX_DATAERR: an address or other input the queue refuses
    kExitNoInput = 66,   // EX_NOINPUT: no entry with that identifier, input file missing
    kExitTempFail = 75   // EX_TEMPFAIL: a temporary fault or a fault of the set-up
};

// CaptureLogCauses - from now on, the failure lines the layers log are kept
// (whatever MQ_LOG says), so that the next error line can name its cause.
void CaptureLogCauses();
// TakeLogCause - the cause kept since the last error line: the first line
// logged at error level or worse, else the first warning; "" when none.
// Forgets it.
std::string TakeLogCause();
// NoteTempFail - the command met a temporary fault or one of the set-up (the
// configuration, the channel file, the store): a command that then ends with
// kExitRefused exits kExitTempFail instead. ExitCodeFor applies it.
void NoteTempFail();
int ExitCodeFor(int code);

// One option a command accepts, named without its leading "--".
struct OptionDef {
    const char* name;
    bool takesValue;
};

// The parsed command line of one command.
class Args {
public:
    // Splits argv (the words after the command's name) into options and
    // positional words. Options are "--name", "--name VALUE" or
    // "--name=VALUE", and -h and -q for --help and --quiet where options
    // holds those; "--" ends them; a lone "-" is positional. Fails, saying
    // why, for an option not in options, a missing or unexpected value.
    mq::Status Parse(const std::vector<std::string>& argv, const std::vector<OptionDef>& options);

    bool Has(const std::string& name) const { return values_.count(name) != 0; }
    // The last value given for name; "" when it was not given.
    std::string Value(const std::string& name) const;
    // Every value given for name, in order.
    std::vector<std::string> Values(const std::string& name) const;
    const std::vector<std::string>& Positional() const { return positional_; }

private:
    std::map<std::string, std::vector<std::string>> values_;
    std::vector<std::string> positional_;
};

// EditDistance - the number of one-letter insertions, deletions and
// substitutions that turn a into b.
size_t EditDistance(const std::string& a, const std::string& b);

// Suggest - the known word a mistyped one was most likely meant to be: the
// nearest within two edits, or one word begins with; "" when none is.
std::string Suggest(const std::string& word, const std::vector<std::string>& known);

// ParseId - an entry identifier: decimal digits only, 1 to 4294967295.
// Returns false for anything else (signs, spaces, hex, 0, overflow).
bool ParseId(const std::string& text, unsigned long* id);

// ParseAge - "90", "90s", "30m", "2h", "1d", "1w" into seconds. Returns
// false for an empty, negative, unitless-but-garbled or overflowing text.
bool ParseAge(const std::string& text, int64_t* seconds);

// Error lines. Each prints exactly one line on standard error, ending in
// the cause TakeLogCause gives, when there is one not already in it.
void PrintError(const std::string& command, const std::string& what);
// The line of a failure: its cause.
void PrintError(const std::string& command, const mq::Status& failure);
// "... what: MQ_ERR_X (n): meaning".
void PrintResultError(const std::string& command, const std::string& what, int code);
// Prints the error with a pointer to the command's help; returns kExitUsage.
int UsageError(const std::string& command, const std::string& what);

}  // namespace mqctl

#endif
