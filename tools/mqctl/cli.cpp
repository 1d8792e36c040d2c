// cli.cpp - option parsing, value shapes and error lines of mqctl.
#include "cli.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <mutex>

#include <log.h>
#include <mqapi.h>

namespace mqctl {

namespace {

const OptionDef* FindOption(const std::vector<OptionDef>& options, const std::string& name) {
    for (const OptionDef& s : options) {
        if (name == s.name) return &s;
    }
    return nullptr;
}

// The failure lines logged since the last error line (mqctl has one thread,
// but the hook is the logger's and may be called from any).
struct Causes {
    std::mutex lock;
    std::string firstError;
    std::string firstWarning;
    bool tempFail = false;
};

Causes& TheCauses() {
    static Causes causes;
    return causes;
}

void KeepCause(int level, const char* /*app*/, const char* text, void* context) {
    Causes* causes = static_cast<Causes*>(context);
    std::lock_guard<std::mutex> guard(causes->lock);
    std::string& slot = level <= MQLOG_ERROR ? causes->firstError : causes->firstWarning;
    if (slot.empty()) slot = text;
}

}  // namespace

void CaptureLogCauses() { LogSetFailureHook(KeepCause, &TheCauses()); }

std::string TakeLogCause() {
    Causes& causes = TheCauses();
    std::lock_guard<std::mutex> guard(causes.lock);
    std::string cause = causes.firstError.empty() ? causes.firstWarning : causes.firstError;
    causes.firstError.clear();
    causes.firstWarning.clear();
    return cause;
}

void NoteTempFail() {
    Causes& causes = TheCauses();
    std::lock_guard<std::mutex> guard(causes.lock);
    causes.tempFail = true;
}

int ExitCodeFor(int code) {
    Causes& causes = TheCauses();
    std::lock_guard<std::mutex> guard(causes.lock);
    return code == kExitRefused && causes.tempFail ? kExitTempFail : code;
}

size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::string Suggest(const std::string& word, const std::vector<std::string>& known) {
    std::string best;
    size_t bestDistance = 3;  // more than two edits away is no typing slip
    for (const std::string& k : known) {
        size_t d = EditDistance(word, k);
        // A prefix of two letters or more ("sum") names what it abbreviates.
        if (word.size() >= 2 && k.compare(0, word.size(), word) == 0) d = std::min<size_t>(d, 1);
        if (d < bestDistance) {
            bestDistance = d;
            best = k;
        }
    }
    return best;
}

mq::Status Args::Parse(const std::vector<std::string>& argv,
                       const std::vector<OptionDef>& options) {
    values_.clear();
    positional_.clear();
    bool optionsEnded = false;
    for (size_t i = 0; i < argv.size(); ++i) {
        const std::string& word = argv[i];
        if (optionsEnded || word.size() < 2 || word[0] != '-') {
            positional_.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name;
        if (word[1] != '-') {
            // The short forms: -h for --help, -q for --quiet.
            const char* longName = word == "-h" ? "help" : word == "-q" ? "quiet" : nullptr;
            if (longName == nullptr || FindOption(options, longName) == nullptr) {
                return mq::Status::Error("unknown option " + word);
            }
            values_[longName].push_back("");
            continue;
        }
        name = word.substr(2);
        std::string value;
        bool inlineValue = false;
        size_t eq = name.find('=');
        if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
            inlineValue = true;
        }
        const OptionDef* option = FindOption(options, name);
        if (option == nullptr) return mq::Status::Error("unknown option --" + name);
        if (!option->takesValue) {
            if (inlineValue) return mq::Status::Error("option --" + name + " takes no value");
            values_[name].push_back("");
            continue;
        }
        if (!inlineValue) {
            if (i + 1 >= argv.size()) {
                return mq::Status::Error("option --" + name + " needs a value");
            }
            value = argv[++i];
        }
        values_[name].push_back(value);
    }
    return mq::Status::OK();
}

std::string Args::Value(const std::string& name) const {
    auto it = values_.find(name);
    return it == values_.end() || it->second.empty() ? std::string() : it->second.back();
}

std::vector<std::string> Args::Values(const std::string& name) const {
    auto it = values_.find(name);
    return it == values_.end() ? std::vector<std::string>() : it->second;
}

bool ParseId(const std::string& text, unsigned long* id) {
    if (text.empty() || text.size() > 10) return false;
    unsigned long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > UINT32_MAX) return false;
    *id = static_cast<unsigned long>(value);
    return true;
}

bool ParseAge(const std::string& text, int64_t* seconds) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    errno = 0;
    char* end = nullptr;
    long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || value < 0) return false;
    std::string unit(end);
    long long scale;
    if (unit.empty() || unit == "s") {
        scale = 1;
    } else if (unit == "m") {
        scale = 60;
    } else if (unit == "h") {
        scale = 3600;
    } else if (unit == "d") {
        scale = 86400;
    } else if (unit == "w") {
        scale = 7 * 86400;
    } else {
        return false;
    }
    if (value > LLONG_MAX / scale) return false;
    *seconds = value * scale;
    return true;
}

void PrintError(const std::string& command, const std::string& what) {
    std::string line = "mqctl: ";
    if (!command.empty()) line += command + ": ";
    line += what;
    std::string cause = TakeLogCause();
    if (!cause.empty() && what.find(cause) == std::string::npos) line += ": " + cause;
    // One line whatever the text holds: a stray line end would split it.
    for (char& c : line) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    std::fprintf(stderr, "%s\n", line.c_str());
}

void PrintError(const std::string& command, const mq::Status& failure) {
    PrintError(command, failure.Cause());
}

void PrintResultError(const std::string& command, const std::string& what, int code) {
    PrintError(command, what + ": " + MQResultName(code) + " (" + std::to_string(code) +
                            "): " + MQResultText(code));
}

int UsageError(const std::string& command, const std::string& what) {
    std::string help = command.empty() ? "mqctl --help" : "mqctl " + command + " --help";
    PrintError(command, what + " (see " + help + ")");
    return kExitUsage;
}

}  // namespace mqctl
