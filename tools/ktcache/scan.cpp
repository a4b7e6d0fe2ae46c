// ktcache scan: shows what the library's walk of a cache directory judged and
// did, entry by entry. The command decides nothing about a file: the walk
// judges every entry once, and in a purge deletes only what the walk itself
// condemned, and, after a question, only what the dry run showed.
#include "commands.h"
#include "ktcache.hpp"
#include "ktcache_walk.h"
#include "names.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

namespace tool {

namespace {

namespace core = ktcache_core;

// ===========================================================================
// The walk, as the command keeps it
// ===========================================================================

// One entry of the walk. The walk's texts last only until its next entry,
// so the command keeps copies.
struct Seen {
    std::string name;
    bool is_leftover;
    core::Verdict verdict;
    int32_t code;
    std::string reason;
    int error;
    int64_t size;
    core::FileIdentity identity;
    bool name_is_reportable;
    core::Action action;
    core::Approval approval;
    int action_error;
};

class Recorder final : public core::WalkObserver {
  public:
    explicit Recorder(std::vector<Seen> &entries) : entries_(entries) {}
    void on_entry(const core::WalkEntry &e) override {
        entries_.push_back({e.name, e.is_leftover, e.verdict, e.code, e.reason, e.error, e.size,
                            e.identity, e.name_is_reportable, e.action, e.approval,
                            e.action_error});
    }

  private:
    std::vector<Seen> &entries_;
};

// One walk of the directory: its outcome, with the report it wrote, and
// every entry it looked at, in listing order.
struct Walked {
    core::WalkMode mode;
    core::WalkOutcome outcome;
    ktcache::unique_text report;
    std::vector<Seen> entries;
};

Walked walk(const std::string &dir, core::WalkMode mode, const core::PurgeApproval *approval) {
    Walked walked{mode, {}, nullptr, {}};
    Recorder recorder(walked.entries);
    walked.outcome = core::walk_cache(dir.c_str(), mode, approval, &recorder);
    walked.report.reset(walked.outcome.report);
    return walked;
}

// The purge after a question deletes only what the dry run showed: the same
// name, the same file, unchanged.
class ShownToTheUser final : public core::PurgeApproval {
  public:
    explicit ShownToTheUser(const Walked &dry_run) {
        for (const Seen &e : dry_run.entries)
            if (e.verdict == core::Verdict::broken) shown_.emplace(e.name, e.identity);
    }
    core::Approval approve(const char *name, const core::FileIdentity &identity) const override {
        const auto it = shown_.find(name);
        if (it == shown_.end()) return core::Approval::not_shown;
        return core::same_identity(it->second, identity) ? core::Approval::approved
                                                         : core::Approval::changed;
    }
    size_t count() const { return shown_.size(); }

  private:
    std::unordered_map<std::string, core::FileIdentity> shown_;
};

// ===========================================================================
// Reasons and actions, in words
// ===========================================================================
//
// Into a pipe and in --json's messages, the library's reason stands as it
// is, with the system's reason behind it. On a terminal a short label and a
// short cause keep the name column near the left, so that no row wraps but
// by its own name.

std::string full_reason(const Seen &e) {
    return e.error != 0 ? e.reason + ": " + std::strerror(e.error) : e.reason;
}

struct Label {
    const char *reason; // the library's message
    const char *label;
};
constexpr Label kReasonLabels[] = {
    {"unrecognized audio header", "not audio"},
    {"file below minimum size", "too short"},
    {"fopen failed", "unreadable"},
    {"not regular file", "not a file"},
    {"stat failed", "unchecked"},
};

struct Cause {
    int error;
    const char *words;
};
constexpr Cause kShortCauses[] = {
    {ENOENT, "missing"},      {ELOOP, "link loop"},   {EACCES, "no access"},
    {EPERM, "not allowed"},   {EIO, "I/O error"},     {EAGAIN, "busy"},
    {EBUSY, "busy"},          {ETXTBSY, "busy"},      {EROFS, "read-only"},
    {ENOSPC, "disk full"},    {EDQUOT, "quota"},      {ENAMETOOLONG, "long name"},
    {EOVERFLOW, "too large"}, {EMFILE, "no fds"},     {ENFILE, "no fds"},
    {ENOMEM, "no memory"},    {EEXIST, "name taken"}, {ENOTDIR, "not a dir"},
    {ESTALE, "stale"},        {EINTR, "interrupted"}, {EXDEV, "other device"},
};

std::string short_cause(int error) {
    for (const Cause &c : kShortCauses)
        if (c.error == error) return c.words;
    return "errno " + std::to_string(error);
}

std::string short_reason(const Seen &e) {
    std::string label = "unchecked";
    if (e.verdict != core::Verdict::unjudged) {
        for (const Label &l : kReasonLabels)
            if (e.reason == l.reason) label = l.label;
    }
    return e.error != 0 ? label + ": " + short_cause(e.error) : label;
}

// What became of an entry that is not listed, in the words of its phase.
std::string action_text(const Walked &w, const Seen &e, bool terminal) {
    if (e.verdict == core::Verdict::unjudged) return "left alone";
    if (w.mode != core::WalkMode::purge) return "would be purged";
    const auto cause = [&](int error) {
        return terminal ? short_cause(error) : std::string(std::strerror(error));
    };
    switch (e.action) {
    case core::Action::deleted: return "purged";
    case core::Action::kept:
        return terminal ? "kept: " + cause(e.action_error)
                        : "kept (could not delete: " + cause(e.action_error) + ")";
    case core::Action::not_approved:
        if (e.approval == core::Approval::not_shown)
            return terminal ? "left alone: new" : "left alone (appeared after the question)";
        return terminal ? "left alone: changed" : "left alone (changed after the question)";
    case core::Action::changed:
        if (e.action_error != 0)
            return terminal ? "not put back: " + cause(e.action_error)
                            : "left alone (changed while it was purged; what took its place could "
                              "not be put back: " +
                                  cause(e.action_error) + ")";
        return terminal ? "left alone: replaced" : "left alone (changed while it was purged)";
    default: return "";
    }
}

// ===========================================================================
// Printing
// ===========================================================================

// Summary lines: on a terminal with the tables; into a pipe on standard
// error, so that standard output holds records only.
void summary_line(Output &out, const std::string &line) {
    if (out.is_terminal()) {
        out.put(line + "\n");
        return;
    }
    out.flush();
    std::fputs((line + "\n").c_str(), stderr);
}

bool is_listed(const Seen &e) { return e.verdict == core::Verdict::valid && !e.is_leftover; }

// Rows of the second table: the entries the scan looked at and did not list.
bool has_row(const Seen &e) {
    return !e.is_leftover &&
           (e.verdict == core::Verdict::broken || e.verdict == core::Verdict::unjudged);
}

template <typename Test> size_t count_if(const Walked &w, Test test) {
    return static_cast<size_t>(std::count_if(w.entries.begin(), w.entries.end(), test));
}

std::vector<const Seen *> sorted(const Walked &w, bool (*test)(const Seen &)) {
    std::vector<const Seen *> rows;
    for (const Seen &e : w.entries)
        if (test(e)) rows.push_back(&e);
    std::sort(rows.begin(), rows.end(),
              [](const Seen *a, const Seen *b) { return name_before(a->name, b->name); });
    return rows;
}

void print_valid(Output &out, const Walked &w) {
    const std::vector<const Seen *> rows = sorted(w, is_listed);
    if (!rows.empty()) {
        const bool terminal = out.is_terminal();
        Table valid(out);
        valid.heading({"size", "format", "name"});
        for (const Seen *e : rows)
            valid.add({ktcache::format_bytes(e->size),
                       ktcache::name(static_cast<ktcache::Format>(e->code)),
                       shown_name(e->name, terminal)});
        valid.print();
    }
    const int64_t total = w.outcome.total_bytes;
    summary_line(out, "total: " + plural(w.outcome.valid_count, "valid file") + ", " +
                          ktcache::format_bytes(total) + " (" + std::to_string(total) + " bytes)");
}

void print_summary(Output &out, const Walked &w) {
    if (w.mode == core::WalkMode::purge) {
        const size_t leftovers = count_if(
            w, [](const Seen &e) { return e.is_leftover && e.action == core::Action::deleted; });
        summary_line(out, "purged: " + plural(w.outcome.purged_count, "file") +
                              (leftovers != 0 ? " (" + std::to_string(leftovers) +
                                                    " left behind by an interrupted purge)"
                                              : ""));
        if (const size_t restored =
                count_if(w, [](const Seen &e) { return e.action == core::Action::restored; }))
            summary_line(out,
                         "restored: " + plural(restored, "track an interrupted purge had hidden",
                                               "tracks an interrupted purge had hidden"));
    }
    if (const size_t unchecked =
            count_if(w, [](const Seen &e) { return e.verdict == core::Verdict::unjudged; }))
        summary_line(out, "could not be checked: " + plural(unchecked, "entry", "entries"));
}

void print_others(Output &out, const Walked &w) {
    const std::vector<const Seen *> rows = sorted(w, has_row);
    if (rows.empty()) return;
    const bool terminal = out.is_terminal();
    if (terminal) out.put('\n');
    Table others(out);
    others.heading({"reason", "action", "name"});
    for (const Seen *e : rows)
        others.add({terminal ? short_reason(*e) : full_reason(*e), action_text(w, *e, terminal),
                    shown_name(e->name, terminal)});
    others.print();
}

// The valid files and the totals (unless the dry run before the question
// showed them already), the summary lines, then every entry the report
// leaves out with what became of it. The name is the last column, as in
// ls -l, so that a long name wraps only its own row.
void print_table(Output &out, const Walked &w, bool with_valid) {
    if (with_valid) print_valid(out, w);
    print_summary(out, w);
    print_others(out, w);
}

// With --json, standard output holds the report alone; what the purge did
// not do, and without a report what it did, is named on standard error.
void print_purge_record(const Arguments &a, const Walked &w) {
    for (const Seen &e : w.entries) {
        const std::string name = "'" + piped_name(e.name) + "' (" + full_reason(e) + ")";
        if (e.action == core::Action::kept) {
            error_line(a, "could not delete " + name + ": " + std::strerror(e.action_error));
        } else if (e.action == core::Action::not_approved || e.action == core::Action::changed) {
            error_line(a, action_text(w, e, false) + ": " + name);
        } else if (e.action == core::Action::deleted && !w.report) {
            error_line(a, "purged " + name);
        }
    }
}

// The directory was walked but no report came back: say why.
void explain_missing_report(const Arguments &a, const std::string &dir, const Walked &w) {
    const std::string prefix = piped_name(dir) + ": no report could be produced: ";
    switch (w.outcome.shortfall) {
    case core::Shortfall::name_not_utf8:
        for (const Seen &e : w.entries)
            if (!e.name_is_reportable)
                error_line(a, prefix + "the name of valid file '" + piped_name(e.name) +
                                  "' is not UTF-8");
        break;
    case core::Shortfall::put_back_failed:
        error_line(a, prefix + "a file that took the name of a purged file could not be put "
                               "back under it and is left under a hidden name");
        break;
    case core::Shortfall::listing_failed:
        error_line(a, prefix + "the directory's listing failed");
        break;
    default: error_line(a, prefix + "out of memory or file descriptors"); break;
    }
}

// ===========================================================================
// The question
// ===========================================================================

// Reads one line from standard input: true for "y" or "yes".
bool answered_yes() {
    std::string answer;
    char c = 0;
    ssize_t n = 0;
    while ((n = read(STDIN_FILENO, &c, 1)) == 1 || (n < 0 && errno == EINTR)) {
        if (n == 1 && c == '\n') break;
        const unsigned char b = static_cast<unsigned char>(c);
        if (n == 1 && !std::isspace(b)) answer += static_cast<char>(std::tolower(b));
    }
    if (n == 0) std::fputc('\n', stderr); // end of input: the line is still open
    return answer == "y" || answer == "yes";
}

// Shows the dry run where the user sees it (standard output on a terminal,
// otherwise standard error) and asks; true to go ahead.
bool user_confirms(Output &out, const Walked &dry_run, size_t doomed, bool json) {
    Output err(STDERR_FILENO);
    Output &shown = out.is_terminal() && !json ? out : err;
    print_table(shown, dry_run, true);
    if (!shown.flush() || !out.flush()) return false; // main reports a write error
    std::fprintf(stderr, "Delete %s? [y/N] ", plural(doomed, "file").c_str());
    std::fflush(stderr);
    if (answered_yes()) return true;
    std::fputs("nothing deleted\n", stderr);
    return false;
}

} // namespace

// ===========================================================================
// The command
// ===========================================================================

int run_scan(const Arguments &a, Output &out) {
    const std::string &dir = a.operands[0];
    if (dir.empty()) return usage_error(a, "empty directory name");
    const bool purge = a.has("--purge");
    const bool yes = a.has("--yes");
    const bool json = a.has("--json");
    if (yes && !purge) error_line(a, "--yes has no effect without --purge");
    const bool ask = purge && !yes;
    if (ask && isatty(STDIN_FILENO) != 1)
        return usage_error(a, "refusing to purge without --yes: standard input is not a terminal");

    // A purge that asks first deletes only what the dry run showed.
    Walked dry_run{};
    std::unique_ptr<ShownToTheUser> shown;
    if (ask) {
        dry_run = walk(dir, core::WalkMode::dry_run, nullptr);
        shown = std::make_unique<ShownToTheUser>(dry_run);
        if (dry_run.outcome.opened && shown->count() > 0 &&
            !user_confirms(out, dry_run, shown->count(), json))
            return kExitOk;
    }
    const Walked w = walk(dir, purge ? core::WalkMode::purge : core::WalkMode::report, shown.get());
    if (!w.outcome.opened) {
        error_line(a,
                   "cannot scan '" + piped_name(dir) + "': " + std::strerror(w.outcome.open_error));
        return kExitFailure;
    }

    if (json && w.report) {
        out.put(w.report.get());
        out.put('\n');
    }
    if (!w.report) explain_missing_report(a, dir, w);
    if (json) {
        if (purge) print_purge_record(a, w);
    } else {
        print_table(out, w, !(ask && shown->count() > 0));
    }
    const bool all_deleted = std::none_of(w.entries.begin(), w.entries.end(), [](const Seen &e) {
        return e.action == core::Action::kept;
    });
    return w.report && all_deleted ? kExitOk : kExitFailure;
}

} // namespace tool
