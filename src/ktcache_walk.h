/*
 * ktcache_walk.h - the scan's walk, for programs that link the core
 * statically (the ktcache command). Not installed, not exported from the
 * shared library, and free to change with every version.
 *
 * ktcache_scan_dir_json() is one consumer of this walk: it writes the report
 * of what the walk saw. Another program may watch the same walk entry by
 * entry (WalkObserver), see exactly what the library judged and did, and
 * restrict a purge to the files it showed its user (PurgeApproval). It gets
 * the same report, byte for byte, from the same walk.
 */
#ifndef KTCACHE_WALK_H
#define KTCACHE_WALK_H

#include "ktcache.h"

#include <stddef.h>
#include <stdint.h>

namespace ktcache_core {

/* What tells one file from another found at the same name later: a
 * replacement with a recycled inode number (ext4), or a file system that
 * numbers inodes by path (FUSE exFAT and FAT), still differs in size or
 * modification time. */
struct FileIdentity {
    uint64_t device;
    uint64_t inode;
    int64_t size;
    int64_t mtime_ns; /* modification time, nanoseconds since the epoch */
};

bool same_identity(const FileIdentity &a, const FileIdentity &b);

enum class WalkMode {
    report,  /* judge and list; delete nothing (a scan without purge) */
    dry_run, /* judge as a purge would, leftovers of a crashed purge too;
                delete nothing */
    purge,   /* judge, and delete what is broken */
};

enum class Verdict {
    valid,    /* listed, unless it is a leftover */
    broken,   /* too short, refused to the caller, or no audio header */
    unjudged, /* could not be examined or read this time: left alone */
};

/* What a purge did with an entry. */
enum class Action {
    none,         /* nothing to do: valid, unjudged, or no purge */
    deleted,      /* counted in "purgedCount" */
    kept,         /* the deletion failed: `action_error` says why */
    not_approved, /* broken, but not approved: `approval` says why */
    changed,      /* the file at the name was no longer the one judged when
                     the purge came to delete it (replaced, or still being
                     written): left alone */
    restored,     /* a valid leftover put back under its own name */
    hidden,       /* a valid leftover whose own name is unknown or taken */
};

/* Whether a purge may delete a broken entry. */
enum class Approval {
    approved,  /* no approval asked for, or the entry was approved */
    not_shown, /* no approved entry of that name: it appeared since */
    changed,   /* approved, but the file at the name changed since */
};

struct WalkEntry {
    const char *name; /* the bare name as listed (UTF-8 on Windows) */
    bool is_leftover; /* a hidden name left by a purge that died */
    Verdict verdict;
    int32_t code;            /* the validation result: -1, 0 or a format */
    const char *reason;      /* the validation's message, "" when valid */
    int error;               /* the errno behind an unjudged entry or a -1 */
    int64_t size;            /* from the entry's status; 0 when unknown */
    FileIdentity identity;   /* zero when the status could not be read */
    bool name_is_reportable; /* false: a valid file whose name is not UTF-8 */
    Action action;
    Approval approval;       /* with Action::not_approved */
    int action_error;        /* with Action::kept, or a put-back that failed */
    const char *restored_as; /* with Action::restored: the name it has again */
};

/* Watches a walk: called once for every entry the scan looks at (not for
 * hidden entries, nor for anything that is no regular file), in listing
 * order, after the entry's action. */
class WalkObserver {
  public:
    virtual void on_entry(const WalkEntry &entry) = 0;

  protected:
    ~WalkObserver() = default;
};

/* Restricts a purge to entries shown before: asked for every broken entry
 * with its name and identity as judged now. */
class PurgeApproval {
  public:
    virtual Approval approve(const char *name, const FileIdentity &identity) const = 0;

  protected:
    ~PurgeApproval() = default;
};

/* Why a walk produced no report. */
enum class Shortfall {
    none,
    name_not_utf8,    /* a valid file's name (see name_is_reportable) */
    out_of_resources, /* descriptors or memory ran out */
    listing_failed,   /* the directory's enumeration stopped on an error */
    put_back_failed,  /* a file moved aside could not get its name back */
};

struct WalkOutcome {
    bool opened;    /* false: the directory could not be opened */
    int open_error; /* the errno of that */
    char *report;   /* the report (ktcache_free it), or null */
    Shortfall shortfall;
    uint64_t valid_count;
    uint64_t purged_count; /* leftovers included, as in the report */
    int64_t total_bytes;
};

/* Walks `dir_path` (not null, not empty) once. `approval` may be null (every
 * broken file may go); `observer` may be null. Writes no last-error text. */
WalkOutcome walk_cache(const char *dir_path, WalkMode mode, const PurgeApproval *approval,
                       WalkObserver *observer);

/* ktcache_validate_file(), with the errno behind its result in `error` (0
 * when the result has none: a judgement, not a failure to check). */
int32_t validate_file(const char *path, int64_t min_size, int *error);

/* The length of the well-formed UTF-8 sequence at the start of the `length`
 * bytes at `text` (0 when none starts there, or `length` is 0), and its code
 * point in `code_point`. Never reads past `length` bytes. */
size_t utf8_decode(const char *text, size_t length, char32_t *code_point);

} // namespace ktcache_core

#endif /* KTCACHE_WALK_H */
