// ktcache - command-line client of the offline cache library.
//
// Uses only the public interface (ktcache.hpp over ktcache.h), exactly as the
// player does. Output to a terminal is aligned in columns, with names quoted
// the way GNU ls quotes them; output to a pipe or file is one record per line
// with fields separated by one tab, and names written with escapes, so that
// scripts see stable text that no file name can forge.
//
// Exit status: 0 success; 1 a file or status is not valid, the library
// failed, a file the purge tried to delete remains, or standard output
// could not be written; 2 a usage error (unknown command or option, bad
// number, empty directory name).
#include "json_document.h"
#include "ktcache.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <map>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// ===========================================================================
// Standard output
// ===========================================================================

// Everything the tool prints as its result goes through here: buffered, and
// written with write(2) so that the first failure is kept with its reason.
// After a failure nothing more is written; main reports it.
class Output {
  public:
    void put(std::string_view text) {
        buffer_.append(text);
        if (buffer_.size() >= kFlushSize) flush();
    }
    void put(char c) { put(std::string_view(&c, 1)); }

    // Writes what is buffered; false when any write has failed.
    bool flush() {
        size_t done = 0;
        while (error_ == 0 && done < buffer_.size()) {
            const ssize_t n = ::write(STDOUT_FILENO, buffer_.data() + done, buffer_.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n < 0 && errno != EINTR) {
                error_ = errno;
            }
        }
        buffer_.clear();
        return error_ == 0;
    }

    int error() const { return error_; }

  private:
    static constexpr size_t kFlushSize = 64 * 1024;
    std::string buffer_;
    int error_ = 0;
};

bool stdout_is_terminal() { return isatty(STDOUT_FILENO) == 1; }

// ===========================================================================
// Names
// ===========================================================================

// Length of the well-formed UTF-8 sequence at the start of `s`, or 0 when
// its first byte does not begin one (overlong forms, surrogates and code
// points above U+10FFFF are not well-formed). `code_point` receives its value.
size_t utf8_sequence(std::string_view s, char32_t &code_point) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char b0 = byte(0);
    if (b0 < 0x80) {
        code_point = b0;
        return 1;
    }
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        if (b0 == 0xE0) low = 0xA0;
        if (b0 == 0xED) high = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        if (b0 == 0xF0) low = 0x90;
        if (b0 == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (s.size() < length || byte(1) < low || byte(1) > high) return 0;
    char32_t value = b0 & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        if (i > 1 && (byte(i) & 0xC0) != 0x80) return 0;
        value = (value << 6) | (byte(i) & 0x3F);
    }
    code_point = value;
    return length;
}

// C0 controls, DEL and the C1 controls (U+0080 to U+009F).
bool is_control(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

// Name pieces: a printable character (one or more bytes) or one byte that
// must be escaped (a control byte or a byte that is not UTF-8).
struct Piece {
    std::string_view bytes;
    bool escape;
};

template <typename Visit> void for_each_piece(std::string_view name, Visit visit) {
    while (!name.empty()) {
        char32_t c = 0;
        const size_t length = utf8_sequence(name, c);
        if (length == 0 || is_control(c)) {
            // A control character of several bytes (C1) is escaped byte by byte.
            const size_t n = length == 0 ? 1 : length;
            for (size_t i = 0; i < n; ++i) visit(Piece{name.substr(i, 1), true});
            name.remove_prefix(n);
        } else {
            visit(Piece{name.substr(0, length), false});
            name.remove_prefix(length);
        }
    }
}

bool is_utf8(std::string_view name) {
    char32_t c = 0;
    while (!name.empty()) {
        const size_t length = utf8_sequence(name, c);
        if (length == 0) return false;
        name.remove_prefix(length);
    }
    return true;
}

bool needs_escapes(std::string_view name) {
    bool found = false;
    for_each_piece(name, [&](const Piece &p) { found = found || p.escape; });
    return found;
}

// Printable ASCII without a backslash: written as it is in a pipe, and free
// of escapes on a terminal (the most common name, checked first).
bool is_plain_ascii(std::string_view name) {
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return c >= 0x20 && c < 0x7F && c != '\\'; });
}

const char kHex[] = "0123456789ABCDEF";

// Into a pipe or file: \t, \n, \r, \\ and \xHH for every other control byte
// and every byte that is not UTF-8; all else as it is.
std::string piped_name(std::string_view name) {
    if (is_plain_ascii(name)) return std::string(name);
    std::string shown;
    shown.reserve(name.size());
    for_each_piece(name, [&](const Piece &p) {
        const unsigned char b = static_cast<unsigned char>(p.bytes[0]);
        if (!p.escape) {
            if (b == '\\') {
                shown += "\\\\";
            } else {
                shown.append(p.bytes);
            }
        } else if (b == '\t') {
            shown += "\\t";
        } else if (b == '\n') {
            shown += "\\n";
        } else if (b == '\r') {
            shown += "\\r";
        } else {
            shown += {'\\', 'x', kHex[b >> 4], kHex[b & 0xF]};
        }
    });
    return shown;
}

// Characters after which a shell would not read the name as one plain word
// (GNU ls's list); "#" and "~" only at the start.
bool is_shell_special(char c) { return std::strchr(" !\"$&'()*;<=>?[\\^`|", c) != nullptr; }

bool needs_shell_quotes(std::string_view name) {
    if (name.empty() || name[0] == '#' || name[0] == '~') return true;
    return std::any_of(name.begin(), name.end(), [](char c) { return is_shell_special(c); });
}

// On a terminal, as GNU ls quotes: plain names as they are; names with
// shell-special characters in single quotes ('a b', 'it'\''s "x"'), or in
// double quotes when a single quote is the only difficulty ("it's"); names
// with control bytes or bytes that are not UTF-8 in the $'...' form, with
// \a \b \t \n \v \f \r and three-digit octal escapes.
std::string terminal_name(std::string_view name) {
    if (!is_plain_ascii(name) && needs_escapes(name)) {
        std::string shown = "$'";
        for_each_piece(name, [&](const Piece &p) {
            const unsigned char b = static_cast<unsigned char>(p.bytes[0]);
            if (!p.escape) {
                if (b == '\\' || b == '\'') shown += '\\';
                shown.append(p.bytes);
                return;
            }
            static const char kNamed[] = "\a\b\t\n\v\f\r";
            static const char kLetters[] = "abtnvfr";
            if (const char *named = b != 0 ? std::strchr(kNamed, b) : nullptr) {
                shown += {'\\', kLetters[named - kNamed]};
            } else {
                shown +=
                    {'\\', static_cast<char>('0' + (b >> 6)),
                     static_cast<char>('0' + ((b >> 3) & 7)), static_cast<char>('0' + (b & 7))};
            }
        });
        return shown + "'";
    }
    if (!needs_shell_quotes(name)) return std::string(name);
    if (name.find('\'') != std::string_view::npos &&
        name.find_first_of("\"$`\\!") == std::string_view::npos)
        return "\"" + std::string(name) + "\"";
    std::string shown = "'";
    for (char c : name) {
        if (c == '\'') {
            shown += "'\\''";
        } else {
            shown += c;
        }
    }
    return shown + "'";
}

std::string shown_name(std::string_view name, bool terminal) {
    return terminal ? terminal_name(name) : piped_name(name);
}

// As shown_name, without a copy when the name is shown as it is: the result
// is `name` itself or the text left in `scratch`.
std::string_view shown_name(std::string_view name, bool terminal, std::string &scratch) {
    if (!terminal && is_plain_ascii(name)) return name;
    scratch = shown_name(name, terminal);
    return scratch;
}

// Columns a terminal gives to `text`, which holds no control or stray bytes
// any more: wide characters take two, combining marks none.
size_t display_width(std::string_view text) {
    size_t width = 0;
    while (!text.empty()) {
        char32_t c = 0;
        const size_t length = std::max<size_t>(utf8_sequence(text, c), 1);
        const int w = c < 0x80 ? 1 : wcwidth(static_cast<wchar_t>(c));
        width += w < 0 ? 1 : static_cast<size_t>(w);
        text.remove_prefix(length);
    }
    return width;
}

// The order of `ls`: the locale's collation, then the bytes. Both names end
// in a NUL right after their last byte (a std::string, or a name of the
// report parsed in place).
bool name_before(std::string_view a, std::string_view b) {
    const int order = std::strcoll(a.data(), b.data());
    return order != 0 ? order < 0 : a < b;
}

// ===========================================================================
// Tables
// ===========================================================================

// Rows of fields, aligned for a terminal and tab-separated for a pipe. Cells
// that hold names are given already in their shown form. Into a pipe each
// row is written at once; for a terminal the rows wait for print(), which
// knows the widths of the columns.
class Table {
  public:
    Table(Output &out, bool aligned) : out_(out), aligned_(aligned) {}

    void add(std::initializer_list<std::string_view> row) {
        if (aligned_) {
            rows_.emplace_back(row.begin(), row.end());
            return;
        }
        const char *separator = "";
        for (std::string_view cell : row) {
            out_.put(separator);
            out_.put(cell);
            separator = "\t";
        }
        out_.put('\n');
    }

    void print() {
        std::vector<size_t> widths;
        for (const auto &row : rows_) {
            for (size_t i = 0; i < row.size(); ++i) {
                if (widths.size() <= i) widths.push_back(0);
                widths[i] = std::max(widths[i], display_width(row[i]));
            }
        }
        for (const auto &row : rows_) {
            for (size_t i = 0; i < row.size(); ++i) {
                out_.put(row[i]);
                if (i + 1 < row.size())
                    out_.put(std::string(widths[i] + 2 - display_width(row[i]), ' '));
            }
            out_.put('\n');
        }
        rows_.clear();
    }

  private:
    Output &out_;
    bool aligned_;
    std::vector<std::vector<std::string>> rows_;
};

// "1 file", "2 files"; `many` for a word whose plural is not the word and "s".
std::string plural(uint64_t n, const char *one, const char *many = nullptr) {
    const std::string word = n == 1 ? one : many != nullptr ? many : std::string(one) + "s";
    return std::to_string(n) + " " + word;
}

// ===========================================================================
// Causes
// ===========================================================================

// The system's reason for a validation that could not be carried out (the
// result -1, whose text names only the step that failed): the tool queries
// and opens the file itself. 0 when both succeed now.
int unchecked_error(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return errno;
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    close(fd);
    return 0;
}

// The library's reason for a validation result, with the system's reason
// added when the check could not be carried out.
std::string validation_reason(const std::string &path, const ktcache::Validation &v) {
    const int error = v.checked() || path.empty() ? 0 : unchecked_error(path);
    return error != 0 ? v.reason + ": " + std::strerror(error) : v.reason;
}

// ===========================================================================
// Commands and their arguments
// ===========================================================================

struct Command;

// Parsed arguments of one command: long options (with their values) and
// operands. "--" ends the options, so a file may be called "--purge".
struct Arguments {
    const Command *command = nullptr;
    std::map<std::string, std::string> options;
    std::vector<std::string> operands;
    bool help = false;

    bool has(const char *option) const { return options.count(option) != 0; }
};

struct OptionSpec {
    const char *name;       // null ends the list
    const char *short_name; // the same option in one letter ("-y"), or null
    bool takes_value;
};

int run_scan(const Arguments &, Output &);
int run_check(const Arguments &, Output &);
int run_name(const Arguments &, Output &);
int run_size(const Arguments &, Output &);
int run_status(const Arguments &, Output &);
int run_selftest(const Arguments &, Output &);
int run_version(const Arguments &, Output &);

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

const Command kCommands[] = {
    {"scan",
     "scan DIR [--purge [--yes]] [--json]",
     "Lists the valid audio files of the cache directory DIR (size, format, name)\n"
     "sorted by name, the totals, then every other file with the reason and the\n"
     "action: \"would be purged\", \"purged\", \"kept (could not delete: REASON)\", or\n"
     "\"left alone\" for a file that could not be checked (a lease, a dangling link,\n"
     "a status the user may not read). Files whose names begin with a dot and\n"
     "subdirectories are ignored. Exit status 1 when no report could be produced\n"
     "or a file that the purge tried to delete remains.\n\n"
     "  --purge     delete every file that is not a recognised audio track of at\n"
     "              least 1024 bytes: cover art, cue sheets and audio of other\n"
     "              formats too. Meant for the player's cache directory only.\n"
     "              Nothing is deleted without it. With standard input a terminal,\n"
     "              it first shows what it would delete and asks.\n"
     "  --yes, -y   with --purge, delete without asking\n"
     "  --json      print the library's JSON report exactly as returned, then a\n"
     "              newline; files that should have been purged and remain are\n"
     "              named on standard error\n\n"
     "The format is read from the file's first bytes, not its name: an MP3\n"
     "without an ID3 tag reads \"aac\", AIFF reads \"wav\", Ogg of any codec \"ogg\".\n\n"
     "On a terminal, names are quoted as ls quotes them. Into a pipe or file, each\n"
     "record is one line with the terminal's columns separated by one tab, the\n"
     "name last, and names are written with \\t, \\n, \\r, \\\\ and \\xHH for other\n"
     "control bytes and bytes that are not UTF-8.\n",
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

// The message may quote what the user typed; it is written as names are.
int usage_error(const Command &c, const std::string &message) {
    std::fprintf(stderr, "ktcache %s: %s (see 'ktcache %s --help')\n", c.name,
                 piped_name(message).c_str(), c.name);
    return kExitUsage;
}

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
// scan
// ===========================================================================
//
// run_scan's steps: examine the directory (one walk), scan it with the
// library (one call), print, and keep the record of the purge. The report
// names only the valid files; what the command tells about the others comes
// from its own walk, with the library's validation of each file.

// The kind of a directory entry: the directory's own word where it gives one,
// else the entry's status after following symbolic links.
enum class Kind { regular, other, unreadable };

// The library's rules that the command repeats, here and nowhere else, as
// include/ktcache.h documents them for ktcache_scan_dir_json.
//
// The entries the scan looks at: names that do not begin with "." (partial
// downloads), and regular files after following symbolic links. Among them
// are those whose status cannot be read (a dangling link, a directory the
// user may list but not search): the scan passes over them unjudged, and the
// command reports them as left alone.
bool in_scan(std::string_view name, Kind kind) {
    return !name.empty() && name[0] != '.' && kind != Kind::other;
}

// A file that the scan may not open (EACCES or EPERM) is judged broken, and
// purged; any other failure to open it leaves it unjudged (a lease, an I/O
// error).
bool scan_condemns_open_error(int error) { return error == EACCES || error == EPERM; }

// The kind of `entry` of the directory open as `d`: most file systems say
// it in the entry, so that only links and unknown kinds need a status query,
// whose failure is left in `error`.
Kind kind_of(DIR *d, const dirent &entry, int &error) {
    switch (entry.d_type) {
    case DT_REG: return Kind::regular;
    case DT_LNK:
    case DT_UNKNOWN: break;
    default: return Kind::other;
    }
    struct stat st;
    if (fstatat(dirfd(d), entry.d_name, &st, 0) != 0) {
        error = errno;
        return Kind::unreadable;
    }
    return S_ISREG(st.st_mode) ? Kind::regular : Kind::other;
}

std::string path_of(const std::string &dir, std::string_view name) {
    std::string path;
    path.reserve(dir.size() + 1 + name.size());
    return path.append(dir).append(1, '/').append(name);
}

// What the tool learns about one file from the library's validation.
enum class Verdict { unjudged, valid, broken, unchecked, other };

struct Look {
    Verdict verdict;
    std::string reason;      // broken: the library's; unchecked: the system's
    int64_t bytes;           // valid
    std::string_view format; // valid: the library's name of the format

    Look(Verdict v = Verdict::unjudged, std::string why = "", int64_t size = 0,
         std::string_view name = "")
        : verdict(v), reason(std::move(why)), bytes(size), format(name) {}
};

Look look_at(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return {Verdict::unchecked, std::strerror(errno)};
    if (!S_ISREG(st.st_mode)) return {Verdict::other};
    const ktcache::Validation v = ktcache::validate_file(path, KTCACHE_DEFAULT_MIN_SIZE);
    if (v.valid()) return {Verdict::valid, "", st.st_size, ktcache::name(v.format())};
    if (v.checked()) return {Verdict::broken, v.reason};
    const int error = unchecked_error(path);
    if (scan_condemns_open_error(error))
        return {Verdict::broken, v.reason + ": " + std::strerror(error)};
    return {Verdict::unchecked, error != 0 ? std::strerror(error) : v.reason};
}

// No entry of that name any more (a status that cannot be read is no proof).
bool is_gone(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) != 0 && errno == ENOENT;
}

// What the command tells about an entry that the report leaves out.
enum class Action { none, would_be_purged, purged, kept, left_alone };

struct Entry {
    std::string name;
    Look look;
    Action action = Action::none;
    std::string cause; // kept: why it could not be deleted

    explicit Entry(std::string_view entry_name, Look first_look = {})
        : name(entry_name), look(std::move(first_look)) {}
};

struct Examination {
    std::string dir;
    std::vector<Entry> entries; // in directory order
    int open_error = 0;         // why the directory could not be read; 0 if it could

    void judge(Entry &e) const {
        if (e.look.verdict == Verdict::unjudged) e.look = look_at(path_of(dir, e.name));
    }
};

// Examine: the command's one walk of the directory. Every entry the scan
// looks at is noted; with `judge`, each is judged at once, as a purge must
// before the library takes the broken ones away.
Examination examine(const std::string &dir, bool judge) {
    Examination seen;
    seen.dir = dir;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        seen.open_error = errno;
        return seen;
    }
    while (const dirent *entry = readdir(d)) {
        int error = 0;
        const Kind kind = kind_of(d, *entry, error);
        if (!in_scan(entry->d_name, kind)) continue;
        if (kind == Kind::unreadable) {
            seen.entries.emplace_back(entry->d_name,
                                      Look(Verdict::unchecked, std::strerror(error)));
        } else {
            seen.entries.emplace_back(entry->d_name);
            if (judge) seen.judge(seen.entries.back());
        }
    }
    closedir(d);
    return seen;
}

// Why a file that the purge tried to delete remains, as far as the tool can
// tell: the directory must be writable and searchable, and a sticky directory
// lets only owners delete.
std::string deletion_cause(const std::string &dir, const std::string &file) {
    if (faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return std::strerror(errno);
    struct stat d, f;
    if (stat(dir.c_str(), &d) == 0 && (d.st_mode & S_ISVTX) != 0 && lstat(file.c_str(), &f) == 0 &&
        geteuid() != 0 && f.st_uid != geteuid() && d.st_uid != geteuid())
        return std::strerror(EPERM);
    return "cause unknown";
}

// Without a purge: a broken file would be purged; one that could not be
// checked is left alone.
Action dry_run_action(const Examination &seen, Entry &e) {
    seen.judge(e);
    if (e.look.verdict == Verdict::broken) return Action::would_be_purged;
    return e.look.verdict == Verdict::unchecked ? Action::left_alone : Action::none;
}

// After a purge: a file judged broken before is purged when it is gone; when
// it remains it is looked at again. Still broken, the purge could not delete
// it; now unreadable (a link whose target the purge took away), the scan
// could not judge it either. An entry that could not be checked before the
// purge was left alone.
Action purge_action(const Examination &seen, Entry &e) {
    const std::string path = path_of(seen.dir, e.name);
    if (is_gone(path)) return e.look.verdict == Verdict::broken ? Action::purged : Action::none;
    if (e.look.verdict == Verdict::unchecked) return Action::left_alone;
    e.look = look_at(path);
    if (e.look.verdict == Verdict::broken) {
        e.cause = deletion_cause(seen.dir, path);
        return Action::kept;
    }
    return e.look.verdict == Verdict::unchecked ? Action::left_alone : Action::none;
}

// What became of each entry that the report leaves out (or of every entry,
// when no report came back).
void settle(Examination &seen, const std::unordered_set<std::string_view> &listed, bool purge) {
    for (Entry &e : seen.entries) {
        e.action = listed.count(e.name) != 0 ? Action::none
                   : purge                   ? purge_action(seen, e)
                                             : dry_run_action(seen, e);
    }
}

// A row of the valid files; its texts belong to the report or to an Entry.
struct ValidRow {
    std::string_view name;
    int64_t bytes;
    std::string_view format;
};

// What a scan found: the valid files (from the report, or from the tool's own
// validation when there is none) and the entries the report leaves out, each
// with what became of it.
struct ScanTable {
    std::vector<ValidRow> valid;
    uint64_t valid_count = 0;
    int64_t total_bytes = 0;
    std::vector<const Entry *> unlisted;

    size_t count(Action action) const {
        return std::count_if(unlisted.begin(), unlisted.end(),
                             [&](const Entry *e) { return e->action == action; });
    }
};

// Reads the report in place: its names stay in `report`, which must outlive
// the table.
bool read_report(std::string &report, ScanTable &table) {
    rapidjson::Document doc;
    if (doc.ParseInsitu(report.data()).HasParseError() || !doc.IsObject()) return false;
    const auto &files = doc["files"].GetArray();
    table.valid.reserve(files.Size());
    for (const auto &file : files) {
        table.valid.push_back({{file["name"].GetString(), file["name"].GetStringLength()},
                               file["bytes"].GetInt64(),
                               file["format"].GetString()});
    }
    table.valid_count = doc["validCount"].GetUint64();
    table.total_bytes = doc["totalBytes"].GetInt64();
    return true;
}

// The table of the scan: the valid files of `report`, or, when there is
// none, of the tool's own validation; then the entries the report leaves
// out. False when the report is not JSON.
bool tabulate(Examination &seen, std::string *report, bool purge, ScanTable &table) {
    std::unordered_set<std::string_view> listed;
    if (report != nullptr) {
        if (!read_report(*report, table)) return false;
        listed.reserve(table.valid.size());
        for (const ValidRow &row : table.valid) listed.insert(row.name);
    } else {
        for (Entry &e : seen.entries) {
            seen.judge(e);
            if (e.look.verdict != Verdict::valid) continue;
            ++table.valid_count;
            // As the report's total: it stops at the largest value.
            table.total_bytes = e.look.bytes > INT64_MAX - table.total_bytes
                                    ? INT64_MAX
                                    : table.total_bytes + e.look.bytes;
            table.valid.push_back({e.name, e.look.bytes, e.look.format});
            listed.insert(e.name);
        }
    }
    settle(seen, listed, purge);
    for (const Entry &e : seen.entries) {
        if (e.action != Action::none) table.unlisted.push_back(&e);
    }
    return true;
}

std::string reason_text(const Entry &e) {
    return e.action == Action::left_alone ? "could not be checked: " + e.look.reason
                                          : e.look.reason;
}

std::string action_text(const Entry &e) {
    switch (e.action) {
    case Action::would_be_purged: return "would be purged";
    case Action::purged: return "purged";
    case Action::kept: return "kept (could not delete: " + e.cause + ")";
    case Action::left_alone: return "left alone";
    default: return "";
    }
}

// Prints the table: the valid files and the totals (unless the dry run
// before the question showed them already), the summary lines, then every
// entry the report leaves out with what became of it. The name is the last
// column, as in ls -l, so that a long name wraps only its own row.
void print_scan_table(Output &out, ScanTable &t, bool purge, bool with_valid) {
    const bool terminal = stdout_is_terminal();
    std::string scratch;
    if (with_valid) {
        if (!t.valid.empty()) {
            std::sort(t.valid.begin(), t.valid.end(), [](const ValidRow &a, const ValidRow &b) {
                return name_before(a.name, b.name);
            });
            Table valid(out, terminal);
            valid.add({"size", "format", "name"});
            for (const ValidRow &row : t.valid)
                valid.add({ktcache::format_bytes(row.bytes), row.format,
                           shown_name(row.name, terminal, scratch)});
            valid.print();
        }
        out.put("total: " + plural(t.valid_count, "valid file") + ", " +
                ktcache::format_bytes(t.total_bytes) + " (" + std::to_string(t.total_bytes) +
                " bytes)\n");
    }
    if (purge) out.put("purged: " + plural(t.count(Action::purged), "file") + "\n");
    if (const size_t unchecked = t.count(Action::left_alone))
        out.put("could not be checked: " + plural(unchecked, "entry", "entries") + "\n");
    if (t.unlisted.empty()) return;

    std::sort(t.unlisted.begin(), t.unlisted.end(),
              [](const Entry *a, const Entry *b) { return name_before(a->name, b->name); });
    out.put('\n');
    Table others(out, terminal);
    others.add({"reason", "action", "name"});
    for (const Entry *e : t.unlisted)
        others.add({reason_text(*e), action_text(*e), shown_name(e->name, terminal, scratch)});
    others.print();
}

// Before a purge on a terminal: shows what the purge would delete (the dry
// run's table, on standard error with --json) and asks. True to go ahead:
// when the answer is yes, and when nothing would be deleted; `asked` tells
// whether the question was put.
bool purge_confirmed(Output &out, Examination &seen, bool json, bool &asked) {
    ScanTable dry_run;
    tabulate(seen, nullptr, false, dry_run);
    const size_t doomed = dry_run.count(Action::would_be_purged);
    asked = doomed > 0;
    if (!asked) return true;
    if (json) {
        for (const Entry *e : dry_run.unlisted) {
            if (e->action == Action::would_be_purged)
                std::fprintf(stderr, "ktcache scan: would purge '%s' (%s)\n",
                             piped_name(e->name).c_str(), e->look.reason.c_str());
        }
    } else {
        print_scan_table(out, dry_run, false, true);
    }
    if (!out.flush()) return false; // main reports the write error
    std::fprintf(stderr, "Delete %s? [y/N] ", plural(doomed, "file").c_str());
    std::fflush(stderr);
    std::string answer;
    char c = 0;
    ssize_t n = 0;
    while ((n = read(STDIN_FILENO, &c, 1)) == 1 || (n < 0 && errno == EINTR)) {
        if (n == 1 && c == '\n') break;
        const unsigned char b = static_cast<unsigned char>(c);
        if (n == 1 && !std::isspace(b)) answer += static_cast<char>(std::tolower(b));
    }
    if (n == 0) std::fputc('\n', stderr); // end of input: the line is still open
    if (answer == "y" || answer == "yes") return true;
    std::fputs("nothing deleted\n", stderr);
    return false;
}

// The scan failed before touching anything: say why, in the system's words
// when the tool's own walk could not open the directory either.
int scan_failed(const Examination &seen, const std::string &error) {
    std::fprintf(stderr, "ktcache: cannot scan '%s': %s\n", piped_name(seen.dir).c_str(),
                 seen.open_error != 0 ? std::strerror(seen.open_error) : error.c_str());
    return kExitFailure;
}

// The directory was walked but no report came back: name the valid files
// whose names the report could not hold, or give the other causes.
void explain_missing_report(const Examination &seen) {
    bool named = false;
    for (const Entry &e : seen.entries) {
        if (e.look.verdict != Verdict::valid || is_utf8(e.name)) continue;
        std::fprintf(stderr,
                     "ktcache scan: %s: no report could be produced: the name of valid file "
                     "'%s' is not UTF-8\n",
                     piped_name(seen.dir).c_str(), piped_name(e.name).c_str());
        named = true;
    }
    if (!named)
        std::fprintf(stderr,
                     "ktcache scan: %s: no report could be produced (out of memory or file "
                     "descriptors, or a failed enumeration)\n",
                     piped_name(seen.dir).c_str());
}

// The record of the purge, and the exit status: 1 when no report came back
// or a file that the purge tried to delete remains; entries left alone do
// not count. The table holds the record; with --json, standard error names
// each file that remains with its reason (and, when no report came back,
// each file purged).
int purge_record(const ScanTable &table, bool report, bool json) {
    for (const Entry *e : json ? table.unlisted : std::vector<const Entry *>{}) {
        const std::string name = piped_name(e->name);
        if (e->action == Action::kept) {
            std::fprintf(stderr, "ktcache scan: could not delete '%s' (%s): %s\n", name.c_str(),
                         e->look.reason.c_str(), e->cause.c_str());
        } else if (e->action == Action::purged && !report) {
            std::fprintf(stderr, "ktcache scan: purged '%s' (%s)\n", name.c_str(),
                         e->look.reason.c_str());
        }
    }
    return report && table.count(Action::kept) == 0 ? kExitOk : kExitFailure;
}

int run_scan(const Arguments &a, Output &out) {
    const std::string &dir = a.operands[0];
    if (dir.empty()) return usage_error(*a.command, "empty directory name");
    const bool purge = a.has("--purge");
    const bool json = a.has("--json");

    // Examine, before a purge takes the broken files away; a purge on a
    // terminal asks first.
    Examination seen = examine(dir, purge);
    bool asked = false;
    if (purge && !a.has("--yes") && isatty(STDIN_FILENO) == 1 &&
        !purge_confirmed(out, seen, json, asked))
        return kExitOk;

    // Scan.
    ktcache::ScanResult result = ktcache::scan_dir_json(dir, purge);
    if (!result && !result.error.empty()) return scan_failed(seen, result.error);

    // Print: the report as it is, or the table.
    if (json && result) {
        out.put(*result.report);
        out.put('\n');
        if (!purge) return kExitOk;
    }
    ScanTable table;
    if (!tabulate(seen, result ? &*result.report : nullptr, purge, table)) {
        std::fprintf(stderr, "ktcache scan: the library returned a report that is not JSON\n");
        return kExitFailure;
    }
    if (!result) explain_missing_report(seen);
    if (!json) print_scan_table(out, table, purge, !asked);

    // The record of the purge, and the exit status.
    return purge_record(table, result.ok(), json);
}

// ===========================================================================
// check, name, size, status
// ===========================================================================

int run_check(const Arguments &a, Output &out) {
    long long min_size = 0;
    auto min = a.options.find("--min-size");
    if (min != a.options.end() && !parse_integer(min->second, LLONG_MIN, LLONG_MAX, min_size))
        return usage_error(*a.command, "--min-size: not a number: '" + min->second + "'");

    const bool terminal = stdout_is_terminal();
    Table table(out, terminal);
    bool all_valid = true;
    for (const std::string &path : a.operands) {
        const ktcache::Validation v = ktcache::validate_file(path, min_size);
        if (v.valid()) {
            table.add({shown_name(path, terminal), ktcache::name(v.format())});
        } else {
            all_valid = false;
            table.add({shown_name(path, terminal), v.checked() ? "invalid" : "error",
                       validation_reason(path, v)});
        }
    }
    table.print();
    return all_valid ? kExitOk : kExitFailure;
}

int run_name(const Arguments &a, Output &out) {
    const bool terminal = stdout_is_terminal();
    for (const std::string &url : a.operands) {
        const std::optional<std::string> name = ktcache::safe_filename(url);
        if (!name) {
            std::fprintf(stderr, "ktcache name: out of memory\n");
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
            status = usage_error(*a.command, "not a number: '" + text + "'");
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
    Table table(out, stdout_is_terminal());
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

int run_selftest(const Arguments &, Output &out) {
    const ktcache::SelftestResult result = ktcache::selftest();
    if (result == ktcache::SelftestResult::ok) {
        out.put("selftest: ok\n");
        return kExitOk;
    }
    std::fprintf(stderr, "ktcache selftest: failed with code %d: %s\n", static_cast<int>(result),
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
    a.command = command;
    std::string error = parse_options(std::vector<std::string>(args.begin() + 1, args.end()), a);
    if (!error.empty()) return usage_error(*command, error);
    if (a.help) {
        out.put(command_help(*command));
        return kExitOk;
    }
    error = check_operands(a);
    if (!error.empty()) return usage_error(*command, error);
    return command->run(a, out);
}

} // namespace

int main(int argc, char **argv) {
    // Names are UTF-8 whatever the environment says (for their display
    // width); sorting follows the user's collation, as ls does. Numbers keep
    // the C locale's decimal point.
    std::setlocale(LC_CTYPE, "C.UTF-8");
    std::setlocale(LC_COLLATE, "");

    Output out;
    int status = kExitFailure;
    try {
        status = dispatch(std::vector<std::string>(argv + 1, argv + argc), out);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "ktcache: %s\n", e.what());
    }
    if (!out.flush()) {
        std::fprintf(stderr, "ktcache: write error: %s\n", std::strerror(out.error()));
        return kExitFailure;
    }
    return status;
}
