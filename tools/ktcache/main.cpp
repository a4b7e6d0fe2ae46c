// ktcache - command-line client of the offline cache library.
//
// Uses only the public interface (ktcache.hpp over ktcache.h), exactly as the
// player does. Output to a terminal is aligned in columns; output to a pipe
// or file separates fields with one tab, so that scripts see stable text.
//
// Exit status: 0 success, 1 a file/status is not valid or the library
// failed, 2 a usage error (unknown command or option, bad number).
#include "json_document.h"
#include "ktcache.hpp"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitNotValid = 1;
constexpr int kExitUsage = 2;

// ===========================================================================
// Help texts
// ===========================================================================

struct Command;
int run_scan(const Command &, const std::vector<std::string> &);
int run_check(const Command &, const std::vector<std::string> &);
int run_name(const Command &, const std::vector<std::string> &);
int run_size(const Command &, const std::vector<std::string> &);
int run_status(const Command &, const std::vector<std::string> &);
int run_selftest(const Command &, const std::vector<std::string> &);
int run_version(const Command &, const std::vector<std::string> &);

struct Command {
    const char *name;
    const char *synopsis;
    const char *help;
    int (*run)(const Command &, const std::vector<std::string> &);
};

const Command kCommands[] = {
    {"scan", "scan DIR [--purge] [--json]",
     "Lists the valid audio files of the cache directory DIR with their sizes and\n"
     "formats, the totals, and every file that fails validation with the reason.\n"
     "Files whose names begin with a dot and subdirectories are ignored.\n\n"
     "  --purge   delete the files that fail validation (nothing is deleted without it)\n"
     "  --json    print the library's JSON report exactly as returned, nothing else\n",
     run_scan},
    {"check", "check FILE... [--min-size N]",
     "Validates each FILE as a cached track and prints its format, or \"invalid\"\n"
     "or \"error\" with the reason. Exit status 1 when any file is not valid.\n\n"
     "  --min-size N   minimum size in bytes (default 1024; 0 or less selects it)\n",
     run_check},
    {"name", "name URL...", "Prints the safe cache file name of each download URL, one per line.\n",
     run_name},
    {"size", "size COUNT...",
     "Prints each byte COUNT as a display text such as \"14.7 MB\", one per line.\n", run_size},
    {"status", "status CODE...",
     "Prints whether each HTTP status CODE is a success (200 to 299).\n"
     "Exit status 1 when any code is not a success.\n",
     run_status},
    {"selftest", "selftest", "Runs the library's built-in self-test. Exit status 1 on failure.\n",
     run_selftest},
    {"version", "version", "Prints the library version and its interface number.\n", run_version},
};

void print_usage(FILE *out) {
    std::fputs("usage: ktcache COMMAND [ARGS...]\n\ncommands:\n", out);
    for (const Command &c : kCommands) std::fprintf(out, "  ktcache %s\n", c.synopsis);
    std::fputs("\n'ktcache COMMAND --help' describes a command.\n", out);
}

void print_command_help(const Command &c) {
    std::printf("usage: ktcache %s\n\n%s", c.synopsis, c.help);
}

const Command *find_command(const std::string &name) {
    for (const Command &c : kCommands) {
        if (name == c.name) return &c;
    }
    return nullptr;
}

// ===========================================================================
// Errors and arguments
// ===========================================================================

int usage_error(const Command &c, const std::string &message) {
    std::fprintf(stderr, "ktcache %s: %s (see 'ktcache %s --help')\n", c.name, message.c_str(),
                 c.name);
    return kExitUsage;
}

// Parsed arguments of one command: long options (with their values) and
// operands. "--" ends the options, so a file may be called "--purge".
struct Arguments {
    std::map<std::string, std::string> options;
    std::vector<std::string> operands;
    bool help = false;
};

struct OptionSpec {
    const char *name;
    bool takes_value;
};

// A leading "-" followed by a digit is a (negative) number, not an option.
bool looks_like_option(const std::string &arg) {
    return arg.size() > 1 && arg[0] == '-' && !(arg[1] >= '0' && arg[1] <= '9');
}

// Returns an error message, or the empty text on success.
std::string parse_arguments(const std::vector<std::string> &args,
                            std::initializer_list<OptionSpec> specs, Arguments &out) {
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
        for (const OptionSpec &s : specs) {
            if (name == s.name) option = &s;
        }
        if (option == nullptr) return "unknown option '" + name + "'";
        if (!option->takes_value) {
            if (eq != std::string::npos) return "option '" + name + "' takes no value";
            out.options[name] = "";
        } else if (eq != std::string::npos) {
            out.options[name] = arg.substr(eq + 1);
        } else if (i + 1 < args.size()) {
            out.options[name] = args[++i];
        } else {
            return "option '" + name + "' needs a value";
        }
    }
    return "";
}

// Parses the arguments of command `c`. Returns false when the command ends
// here (help was asked for, or the arguments are wrong) with `exit_status`.
bool begin_command(const Command &c, const std::vector<std::string> &args,
                   std::initializer_list<OptionSpec> specs, Arguments &a, int &exit_status) {
    const std::string error = parse_arguments(args, specs, a);
    if (!error.empty()) {
        exit_status = usage_error(c, error);
        return false;
    }
    if (a.help) {
        print_command_help(c);
        exit_status = kExitOk;
        return false;
    }
    return true;
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
// Output
// ===========================================================================

// Rows of fields, aligned for a terminal and tab-separated for a pipe.
class Table {
  public:
    void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
    bool empty() const { return rows_.empty(); }

    void print(FILE *out, bool aligned, const char *indent = "") const {
        std::vector<size_t> widths;
        for (const auto &row : rows_) {
            for (size_t i = 0; i < row.size(); ++i) {
                if (widths.size() <= i) widths.push_back(0);
                widths[i] = std::max(widths[i], display_width(row[i]));
            }
        }
        for (const auto &row : rows_) {
            std::fputs(indent, out);
            for (size_t i = 0; i < row.size(); ++i) {
                std::fputs(row[i].c_str(), out);
                if (i + 1 == row.size()) break;
                if (aligned) {
                    for (size_t pad = display_width(row[i]); pad < widths[i] + 2; ++pad)
                        std::fputc(' ', out);
                } else {
                    std::fputc('\t', out);
                }
            }
            std::fputc('\n', out);
        }
    }

  private:
    // Characters as a terminal shows them: UTF-8 continuation bytes take no column.
    static size_t display_width(const std::string &s) {
        size_t width = 0;
        for (unsigned char c : s) width += (c & 0xC0) != 0x80;
        return width;
    }

    std::vector<std::vector<std::string>> rows_;
};

bool stdout_is_terminal() { return isatty(STDOUT_FILENO) == 1; }

std::string plural(uint64_t n, const char *word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

// ===========================================================================
// scan
// ===========================================================================

struct Rejected {
    std::string name;
    std::string reason;
};

// The regular, non-hidden files of `dir` that fail validation, with the
// reason; looked up before a purging scan takes them away.
std::vector<Rejected> find_rejected_files(const std::string &dir) {
    std::vector<Rejected> rejected;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return rejected;
    while (const dirent *entry = readdir(d)) {
        if (entry->d_name[0] == '.') continue;
        const std::string path = dir + "/" + entry->d_name;
        struct stat st;
        if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        ktcache::Validation v = ktcache::validate_file(path, KTCACHE_DEFAULT_MIN_SIZE);
        if (!v.valid()) rejected.push_back({entry->d_name, v.reason});
    }
    closedir(d);
    return rejected;
}

bool still_exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

int print_scan_table(const std::string &dir, const std::string &report, bool purge,
                     const std::vector<Rejected> &rejected) {
    rapidjson::Document doc;
    if (doc.Parse(report.c_str()).HasParseError() || !doc.IsObject()) {
        std::fprintf(stderr, "ktcache scan: the library returned a report that is not JSON\n");
        return kExitNotValid;
    }
    const bool aligned = stdout_is_terminal();
    const auto &files = doc["files"].GetArray();
    if (!files.Empty()) {
        Table valid;
        valid.add({"name", "size", "format"});
        for (const auto &file : files) {
            valid.add({file["name"].GetString(), ktcache::format_bytes(file["bytes"].GetInt64()),
                       file["format"].GetString()});
        }
        valid.print(stdout, aligned);
    }

    const int64_t total = doc["totalBytes"].GetInt64();
    std::printf("total: %s, %s (%lld bytes)\n",
                plural(doc["validCount"].GetUint64(), "valid file").c_str(),
                ktcache::format_bytes(total).c_str(), static_cast<long long>(total));
    if (purge) std::printf("purged: %s\n", plural(doc["purgedCount"].GetUint64(), "file").c_str());

    if (!rejected.empty()) {
        Table failed;
        failed.add({"not valid", "reason", "action"});
        for (const Rejected &r : rejected) {
            const char *action = !purge                             ? "would be purged"
                                 : still_exists(dir + "/" + r.name) ? "kept (could not delete)"
                                                                    : "purged";
            failed.add({r.name, r.reason, action});
        }
        std::fputc('\n', stdout);
        failed.print(stdout, aligned);
    }
    return kExitOk;
}

int run_scan(const Command &c, const std::vector<std::string> &args) {
    Arguments a;
    int status = kExitOk;
    if (!begin_command(c, args, {{"--purge", false}, {"--json", false}}, a, status)) return status;
    if (a.operands.size() != 1) return usage_error(c, "expected exactly one DIR");

    const std::string &dir = a.operands[0];
    const bool purge = a.options.count("--purge") != 0;
    const bool json = a.options.count("--json") != 0;

    const std::vector<Rejected> rejected =
        json ? std::vector<Rejected>{} : find_rejected_files(dir);
    const ktcache::ScanResult result = ktcache::scan_dir_json(dir, purge);
    if (!result) {
        std::fprintf(stderr, "ktcache scan: %s: %s\n", dir.c_str(),
                     result.error.empty() ? "no report could be produced (out of memory, a "
                                            "failed enumeration, or a valid file's name that is "
                                            "not UTF-8)"
                                          : result.error.c_str());
        return kExitNotValid;
    }
    if (json) {
        std::fputs(result.report->c_str(), stdout);
        if (stdout_is_terminal()) std::fputc('\n', stdout);
        return kExitOk;
    }
    return print_scan_table(dir, *result.report, purge, rejected);
}

// ===========================================================================
// check, name, size, status
// ===========================================================================

int run_check(const Command &c, const std::vector<std::string> &args) {
    Arguments a;
    int status = kExitOk;
    if (!begin_command(c, args, {{"--min-size", true}}, a, status)) return status;
    if (a.operands.empty()) return usage_error(c, "expected at least one FILE");

    long long min_size = 0;
    auto min = a.options.find("--min-size");
    if (min != a.options.end() && !parse_integer(min->second, LLONG_MIN, LLONG_MAX, min_size))
        return usage_error(c, "--min-size: not a number: '" + min->second + "'");

    Table table;
    bool all_valid = true;
    for (const std::string &path : a.operands) {
        const ktcache::Validation v = ktcache::validate_file(path, min_size);
        if (v.valid()) {
            table.add({path, std::string(ktcache::name(v.format()))});
        } else {
            all_valid = false;
            table.add({path, v.checked() ? "invalid" : "error", v.reason});
        }
    }
    table.print(stdout, stdout_is_terminal());
    return all_valid ? kExitOk : kExitNotValid;
}

int run_name(const Command &c, const std::vector<std::string> &args) {
    Arguments a;
    int status = kExitOk;
    if (!begin_command(c, args, {}, a, status)) return status;
    if (a.operands.empty()) return usage_error(c, "expected at least one URL");
    for (const std::string &url : a.operands) {
        const std::optional<std::string> name = ktcache::safe_filename(url);
        if (!name) {
            std::fprintf(stderr, "ktcache name: out of memory\n");
            return kExitNotValid;
        }
        std::printf("%s\n", name->c_str());
    }
    return kExitOk;
}

// Commands whose operands are all integers in [min, max].
bool parse_numbers(const Command &c, const std::vector<std::string> &operands, long long min,
                   long long max, std::vector<long long> &numbers, int &status) {
    for (const std::string &text : operands) {
        long long value = 0;
        if (!parse_integer(text, min, max, value)) {
            status = usage_error(c, "not a number: '" + text + "'");
            return false;
        }
        numbers.push_back(value);
    }
    return true;
}

int run_size(const Command &c, const std::vector<std::string> &args) {
    Arguments a;
    int status = kExitOk;
    if (!begin_command(c, args, {}, a, status)) return status;
    if (a.operands.empty()) return usage_error(c, "expected at least one COUNT");
    std::vector<long long> counts;
    if (!parse_numbers(c, a.operands, LLONG_MIN, LLONG_MAX, counts, status)) return status;
    for (long long count : counts) std::printf("%s\n", ktcache::format_bytes(count).c_str());
    return kExitOk;
}

int run_status(const Command &c, const std::vector<std::string> &args) {
    Arguments a;
    int status = kExitOk;
    if (!begin_command(c, args, {}, a, status)) return status;
    if (a.operands.empty()) return usage_error(c, "expected at least one CODE");
    std::vector<long long> codes;
    if (!parse_numbers(c, a.operands, INT32_MIN, INT32_MAX, codes, status)) return status;
    Table table;
    bool all_success = true;
    for (long long code : codes) {
        const bool success = ktcache::is_http_success(static_cast<int32_t>(code));
        all_success = all_success && success;
        table.add({std::to_string(code), success ? "success" : "not success"});
    }
    table.print(stdout, stdout_is_terminal());
    return all_success ? kExitOk : kExitNotValid;
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

int run_selftest(const Command &c, const std::vector<std::string> &args) {
    Arguments a;
    int status = kExitOk;
    if (!begin_command(c, args, {}, a, status)) return status;
    if (!a.operands.empty()) return usage_error(c, "takes no arguments");
    const ktcache::SelftestResult result = ktcache::selftest();
    if (result == ktcache::SelftestResult::ok) {
        std::printf("selftest: ok\n");
        return kExitOk;
    }
    std::fprintf(stderr, "ktcache selftest: failed with code %d: %s\n", static_cast<int>(result),
                 selftest_failure(result));
    return kExitNotValid;
}

int run_version(const Command &c, const std::vector<std::string> &args) {
    Arguments a;
    int status = kExitOk;
    if (!begin_command(c, args, {}, a, status)) return status;
    if (!a.operands.empty()) return usage_error(c, "takes no arguments");
    std::printf("ktcache %s (interface %d)\n", std::string(ktcache::version()).c_str(),
                ktcache::abi_version());
    return kExitOk;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        print_usage(stderr);
        return kExitUsage;
    }
    const std::string first = argv[1];
    if (first == "-h" || first == "--help") {
        print_usage(stdout);
        return kExitOk;
    }
    if (first == "help") {
        if (argc == 2) {
            print_usage(stdout);
            return kExitOk;
        }
        if (const Command *c = find_command(argv[2])) {
            print_command_help(*c);
            return kExitOk;
        }
        std::fprintf(stderr, "ktcache: unknown command '%s' (see 'ktcache --help')\n", argv[2]);
        return kExitUsage;
    }
    const Command *command = find_command(first);
    if (command == nullptr) {
        std::fprintf(stderr, "ktcache: unknown command '%s' (see 'ktcache --help')\n",
                     first.c_str());
        return kExitUsage;
    }
    try {
        return command->run(*command, std::vector<std::string>(argv + 2, argv + argc));
    } catch (const std::exception &e) {
        std::fprintf(stderr, "ktcache %s: %s\n", command->name, e.what());
        return kExitNotValid;
    }
}
