// ktcache - command-line client of the offline cache library.
//
// The small commands call the public interface (ktcache.hpp over ktcache.h)
// exactly as the player does; the scan watches the library's own walk of the
// directory (scan.cpp, through the core's internal ktcache_walk.h). Output
// to a terminal is aligned in columns, with names quoted the way GNU ls
// quotes them; output to a pipe or file is one record per line with fields
// separated by one tab, and names written with escapes, so that scripts see
// stable text that no file name can forge.
//
// Exit status: 0 success; 1 a file or status is not valid, the library
// failed, a file the purge tried to delete remains, or standard output
// could not be written; 2 a usage error (unknown command or option, bad
// number, empty name, a purge that cannot ask and was not told --yes).
#include "commands.h"
#include "ktcache.hpp"
#include "ktcache_walk.h"
#include "names.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace tool {

// ===========================================================================
// Commands and their arguments
// ===========================================================================

struct OptionSpec {
    const char *name;       // null ends the list
    const char *short_name; // the same option in one letter ("-y"), or null
    bool takes_value;
};

struct Command {
    const char *name;
    const char *synopsis;
    const char *help;
    OptionSpec options[3]; // unused entries have a null name
    // Operands: how many, and what one is called in the messages; no
    // operands at all when `operand` is null.
    const char *operand;
    bool exactly_one;
    int (*run)(const Arguments &, Output &);
};

namespace {

int run_check(const Arguments &, Output &);
int run_name(const Arguments &, Output &);
int run_size(const Arguments &, Output &);
int run_status(const Arguments &, Output &);
int run_selftest(const Arguments &, Output &);
int run_version(const Arguments &, Output &);

const Command kCommands[] = {
    {"scan",
     "scan DIR [--purge [--yes]] [--json]",
     "Lists the valid audio files of the cache directory DIR (size, format, name)\n"
     "sorted by name, the totals, then every other file the library looked at,\n"
     "with the reason and what became of it: \"would be purged\", \"purged\",\n"
     "\"kept\" (the deletion failed), or \"left alone\": the file could not be\n"
     "checked (a lease, a dangling link, a status the user may not read), or it\n"
     "appeared or changed after the question. Files whose names begin with a dot\n"
     "and subdirectories are ignored. Exit status 1 when no report could be\n"
     "produced or a file that the purge tried to delete remains.\n\n"
     "  --purge     delete every file that is not a recognised audio track of at\n"
     "              least 1024 bytes: cover art, cue sheets and audio of other\n"
     "              formats too. Meant for the player's cache directory only.\n"
     "              It first shows what it would delete and asks, then deletes\n"
     "              only those files, if they are unchanged. Without a terminal\n"
     "              on standard input it refuses, unless --yes is given.\n"
     "  --yes, -y   with --purge, judge and delete in one pass without asking\n"
     "  --json      print the library's JSON report exactly as returned, then a\n"
     "              newline; files that the purge left or could not delete are\n"
     "              named on standard error\n\n"
     "The format is read from the file's first bytes, not its name: an MP3\n"
     "without an ID3 tag reads \"aac\", AIFF reads \"wav\", Ogg of any codec \"ogg\".\n\n"
     "On a terminal, names are quoted as ls quotes them, and reasons are short\n"
     "labels (\"not audio\", \"too short\", \"unreadable: no access\"). Into a pipe\n"
     "or file, each record is one line with the terminal's columns separated by\n"
     "one tab, the name last, the library's reasons in full and no headings; the\n"
     "summary lines go to standard error. Names are written with \\t, \\n, \\r,\n"
     "\\\\ and \\xHH for other control bytes and bytes that are not UTF-8.\n",
     {{"--purge", nullptr, false}, {"--yes", "-y", false}, {"--json", nullptr, false}},
     "DIR",
     true,
     run_scan},
    {"check",
     "check FILE... [--min-size N]",
     "Validates each FILE as a cached track and prints its format, or \"invalid\"\n"
     "or \"error\" with the reason. Exit status 1 when any file is not valid.\n"
     "FILE is written as scan writes names.\n\n"
     "  --min-size N   minimum size in bytes (default 1024; 0 or less selects it)\n",
     {{"--min-size", nullptr, true}},
     "FILE",
     false,
     run_check},
    {"name",
     "name URL...",
     "Prints the safe cache file name of each download URL, one per line, written\n"
     "as scan writes names.\n",
     {},
     "URL",
     false,
     run_name},
    {"size",
     "size COUNT...",
     "Prints each byte COUNT as a display text such as \"14.7 MB\", one per line.\n",
     {},
     "COUNT",
     false,
     run_size},
    {"status",
     "status CODE...",
     "Prints whether each HTTP status CODE is a success (200 to 299).\n"
     "Exit status 1 when any code is not a success.\n",
     {},
     "CODE",
     false,
     run_status},
    {"selftest",
     "selftest",
     "Runs the library's built-in self-test. Exit status 1 on failure.\n",
     {},
     nullptr,
     false,
     run_selftest},
    {"version",
     "version",
     "Prints the library version and its interface number.\n",
     {},
     nullptr,
     false,
     run_version},
};

std::string usage_text() {
    std::string text = "usage: ktcache COMMAND [ARGS...]\n"
                       "       ktcache --help | --version\n\ncommands:\n";
    for (const Command &c : kCommands) text += std::string("  ktcache ") + c.synopsis + "\n";
    text += "\n'ktcache COMMAND --help' describes a command. Exit status: 0 success,\n"
            "1 failure (including a write error on standard output), 2 usage error.\n";
    return text;
}

std::string command_help(const Command &c) {
    return std::string("usage: ktcache ") + c.synopsis + "\n\n" + c.help;
}

const Command *find_command(const std::string &name) {
    for (const Command &c : kCommands) {
        if (name == c.name) return &c;
    }
    return nullptr;
}

} // namespace

// The message may quote what the user typed; it is written as names are.
int usage_error(const Arguments &a, const std::string &message) {
    const char *name = a.command->name;
    std::fprintf(stderr, "ktcache %s: %s (see 'ktcache %s --help')\n", name,
                 piped_name(message).c_str(), name);
    return kExitUsage;
}

void error_line(const Arguments &a, const std::string &message) {
    std::fprintf(stderr, "ktcache %s: %s\n", a.command->name, message.c_str());
}

namespace {

// A leading "-" followed by a digit is a (negative) number, not an option.
bool looks_like_option(const std::string &arg) {
    return arg.size() > 1 && arg[0] == '-' && !(arg[1] >= '0' && arg[1] <= '9');
}

// Returns an error message, or the empty text on success.
std::string parse_options(const std::vector<std::string> &args, Arguments &out) {
    bool options_done = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (options_done || !looks_like_option(arg)) {
            out.operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            out.help = true;
            continue;
        }
        const size_t eq = arg.find('=');
        const std::string name = arg.substr(0, eq);
        const OptionSpec *option = nullptr;
        for (const OptionSpec &s : out.command->options) {
            if (s.name != nullptr && (name == s.name || (s.short_name && name == s.short_name)))
                option = &s;
        }
        if (option == nullptr) return "unknown option '" + name + "'";
        if (!option->takes_value) {
            if (eq != std::string::npos) return "option '" + name + "' takes no value";
            out.options[option->name] = "";
        } else if (eq != std::string::npos) {
            out.options[option->name] = arg.substr(eq + 1);
        } else if (i + 1 < args.size()) {
            out.options[option->name] = args[++i];
        } else {
            return "option '" + name + "' needs a value";
        }
    }
    return "";
}

// Returns an error message when the number of operands does not fit the command.
std::string check_operands(const Arguments &a) {
    const Command &c = *a.command;
    const std::vector<std::string> &operands = a.operands;
    if (c.operand == nullptr && !operands.empty()) return "takes no arguments";
    if (c.operand != nullptr && c.exactly_one && operands.size() != 1)
        return std::string("expected exactly one ") + c.operand;
    if (c.operand != nullptr && operands.empty())
        return std::string("expected at least one ") + c.operand;
    return "";
}

// Whole-text decimal integers only: no spaces, no trailing bytes, in range.
bool parse_integer(const std::string &text, long long min, long long max, long long &value) {
    if (text.empty() || !(text[0] == '-' || text[0] == '+' || (text[0] >= '0' && text[0] <= '9')))
        return false;
    errno = 0;
    char *end = nullptr;
    const long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (errno == ERANGE || *end != '\0' || parsed < min || parsed > max) return false;
    value = parsed;
    return true;
}

// ===========================================================================
// check, name, size, status
// ===========================================================================

int run_check(const Arguments &a, Output &out) {
    long long min_size = 0;
    auto min = a.options.find("--min-size");
    if (min != a.options.end() && !parse_integer(min->second, LLONG_MIN, LLONG_MAX, min_size))
        return usage_error(a, "--min-size: not a number: '" + min->second + "'");

    for (const std::string &path : a.operands)
        if (path.empty()) return usage_error(a, "empty file name");

    const bool terminal = out.is_terminal();
    Table table(out);
    bool all_valid = true;
    for (const std::string &path : a.operands) {
        int error = 0;
        const int32_t code = ktcache_core::validate_file(path.c_str(), min_size, &error);
        if (code > 0) {
            table.add({shown_name(path, terminal), ktcache_format_name(code)});
            continue;
        }
        all_valid = false;
        std::string reason = ktcache_last_error();
        if (error != 0) reason += std::string(": ") + std::strerror(error);
        table.add({shown_name(path, terminal), code == 0 ? "invalid" : "error", reason});
    }
    table.print();
    return all_valid ? kExitOk : kExitFailure;
}

int run_name(const Arguments &a, Output &out) {
    const bool terminal = out.is_terminal();
    for (const std::string &url : a.operands) {
        const std::optional<std::string> name = ktcache::safe_filename(url);
        if (!name) {
            error_line(a, "out of memory");
            return kExitFailure;
        }
        out.put(shown_name(*name, terminal) + "\n");
    }
    return kExitOk;
}

// Commands whose operands are all integers in [min, max].
bool parse_numbers(const Arguments &a, long long min, long long max,
                   std::vector<long long> &numbers, int &status) {
    for (const std::string &text : a.operands) {
        long long value = 0;
        if (!parse_integer(text, min, max, value)) {
            status = usage_error(a, "not a number: '" + text + "'");
            return false;
        }
        numbers.push_back(value);
    }
    return true;
}

int run_size(const Arguments &a, Output &out) {
    std::vector<long long> counts;
    int status = kExitOk;
    if (!parse_numbers(a, LLONG_MIN, LLONG_MAX, counts, status)) return status;
    for (long long count : counts) out.put(ktcache::format_bytes(count) + "\n");
    return kExitOk;
}

int run_status(const Arguments &a, Output &out) {
    std::vector<long long> codes;
    int status = kExitOk;
    if (!parse_numbers(a, INT32_MIN, INT32_MAX, codes, status)) return status;
    Table table(out);
    bool all_success = true;
    for (long long code : codes) {
        const bool success = ktcache::is_http_success(static_cast<int32_t>(code));
        all_success = all_success && success;
        table.add({std::to_string(code), success ? "success" : "not success"});
    }
    table.print();
    return all_success ? kExitOk : kExitFailure;
}

// ===========================================================================
// selftest, version
// ===========================================================================

const char *selftest_failure(ktcache::SelftestResult result) {
    switch (result) {
    case ktcache::SelftestResult::header_failed: return "an HTML page was taken for audio";
    case ktcache::SelftestResult::filename_failed: return "a URL did not give its known file name";
    case ktcache::SelftestResult::size_text_failed: return "a byte count did not give its text";
    default: return "unknown failure";
    }
}

int run_selftest(const Arguments &a, Output &out) {
    const ktcache::SelftestResult result = ktcache::selftest();
    if (result == ktcache::SelftestResult::ok) {
        out.put("selftest: ok\n");
        return kExitOk;
    }
    error_line(a, "failed with code " + std::to_string(static_cast<int>(result)) + ": " +
                      selftest_failure(result));
    return kExitFailure;
}

int run_version(const Arguments &, Output &out) {
    out.put("ktcache " + std::string(ktcache::version()) + " (interface " +
            std::to_string(ktcache::abi_version()) + ")\n");
    return kExitOk;
}

// ===========================================================================
// Dispatch
// ===========================================================================

int unknown_command(const std::string &name) {
    std::fprintf(stderr, "ktcache: unknown command '%s' (see 'ktcache --help')\n",
                 piped_name(name).c_str());
    return kExitUsage;
}

// The command being run, for the line that reports a write error.
const Command *g_running;

int dispatch(const std::vector<std::string> &args, Output &out) {
    if (args.empty()) {
        std::fputs(usage_text().c_str(), stderr);
        return kExitUsage;
    }
    const std::string &first = args[0];
    if (first == "-h" || first == "--help" || (first == "help" && args.size() == 1)) {
        out.put(usage_text());
        return kExitOk;
    }
    if (first == "--version") return run_version(Arguments{}, out);
    if (first == "help") {
        const Command *c = find_command(args[1]);
        if (c == nullptr) return unknown_command(args[1]);
        out.put(command_help(*c));
        return kExitOk;
    }
    const Command *command = find_command(first);
    if (command == nullptr) return unknown_command(first);

    Arguments a;
    a.command = g_running = command;
    std::string error = parse_options(std::vector<std::string>(args.begin() + 1, args.end()), a);
    if (!error.empty()) return usage_error(a, error);
    if (a.help) {
        out.put(command_help(*command));
        return kExitOk;
    }
    error = check_operands(a);
    if (!error.empty()) return usage_error(a, error);
    return command->run(a, out);
}

} // namespace
} // namespace tool

int main(int argc, char **argv) {
    // Names are UTF-8 whatever the environment says (for their display
    // width); sorting follows the user's collation, as ls does. Numbers keep
    // the C locale's decimal point.
    std::setlocale(LC_CTYPE, "C.UTF-8");
    std::setlocale(LC_COLLATE, "");

    tool::Output out(STDOUT_FILENO);
    int status = tool::kExitFailure;
    // Error lines start with the command that failed, once one is known.
    const auto who = [] {
        return tool::g_running != nullptr ? std::string("ktcache ") + tool::g_running->name
                                          : std::string("ktcache");
    };
    try {
        status = tool::dispatch(std::vector<std::string>(argv + 1, argv + argc), out);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s: %s\n", who().c_str(), e.what());
    }
    if (!out.flush()) {
        std::fprintf(stderr, "%s: write error: %s\n", who().c_str(), std::strerror(out.error()));
        return tool::kExitFailure;
    }
    return status;
}
