// cli.h - mqctl's command line: the options of one command and their values,
// the shapes of values (identifiers, ages), and the exit codes and error
// lines every command shares.
//
// Every error goes to standard error as one line, "mqctl: COMMAND: what";
// when a toolkit call gave a result code, the line ends in its name and
// meaning. Standard error carries nothing else.
//
// Thread safety: mqctl is single-threaded; nothing here is shared.
// Ownership: plain values, owned by the caller.
#ifndef MQCTL_CLI_H
#define MQCTL_CLI_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace mqctl {

// The exit codes the README documents; scripts rely on them.
enum ExitCode {
    kExitOk = 0,       // done
    kExitRefused = 1,  // the store, the registry or the directory said no
    kExitUsage = 2,    // the command line was wrong; nothing was touched
    kExitFailed = 3    // the store failed (not a refusal: e.g. a read error)
};

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
    // holds those; "--" ends them; a lone "-" is positional. Returns
    // false, with *error saying why, for an option not in options, a missing
    // or unexpected value.
    bool Parse(const std::vector<std::string>& argv, const std::vector<OptionDef>& options,
               std::string* error);

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

// Error lines. Each prints exactly one line on standard error.
void PrintError(const std::string& command, const std::string& what);
// "... what: MQ_ERR_X (n): meaning".
void PrintResultError(const std::string& command, const std::string& what, int code);
// Prints the error with a pointer to the command's help; returns kExitUsage.
int UsageError(const std::string& command, const std::string& what);

}  // namespace mqctl

#endif
