/*
 * ktcache.h - offline audio cache model of the KelvaneTunes player
 *
 * The library answers the questions a music player asks about the cache
 * directory in which it keeps downloaded tracks:
 *
 *   - Is this buffer the header of a supported audio container, and which one?
 *   - Is this cached file usable?
 *   - Which safe local file name does a download URL get?
 *   - What does the cache directory hold (a compact JSON report), optionally
 *     deleting the files that fail validation?
 *   - Is an HTTP status a success, and how does a byte count read ("14.7 MB")?
 *   - Does the library pass its own self-test?
 *
 * Conventions shared by every function
 * ------------------------------------
 * Strings:    paths, names and URLs are NUL-terminated byte strings. No
 *             character set is assumed; paths reach the file system unchanged.
 *             A scan reaches each entry by its name relative to the directory
 *             it opened, on every platform. Only the scan report is required
 *             to be UTF-8.
 * Windows:    paths from the caller are bytes in the process's ANSI code
 *             page, read exactly as the narrow Windows file calls read them
 *             (the OEM code page after SetFileApisToOEM). A host whose
 *             manifest declares the UTF-8 active code page passes UTF-8 and
 *             reaches every path. A relative path is made full once, when the
 *             call begins, and MAX_PATH does not limit paths; a "\\?\" path
 *             is taken as it stands. The scan reaches every entry by its real
 *             UTF-16 name, whatever its script (trailing dots and spaces and
 *             device names such as "NUL.mp3" included), and writes it into the
 *             report as UTF-8. See docs/windows-hosts.md.
 * Memory:     a function that returns a `char *` hands the caller a fresh block
 *             from the C heap; release it with ktcache_free() and nothing else.
 *             Every `const char *` result belongs to the library: never free or
 *             modify it.
 * Errors:     results carry the outcome. Only the two functions that touch the
 *             file system, ktcache_validate_file() and ktcache_scan_dir_json(),
 *             also leave a reason in the calling thread's last-error text
 *             (ktcache_last_error()). Nothing is printed, logged or thrown; no
 *             C++ exception ever leaves the library.
 * Threads:    there is no global mutable state. Every function may be called
 *             from any number of threads at once; the last-error text is kept
 *             per thread. Concurrent calls share only the file system, which
 *             the library does not coordinate.
 * Lifetime:   no initialisation or shutdown call; any function may come first.
 *
 * The twelve functions below are the library's whole exported interface.
 */
#ifndef KTCACHE_H
#define KTCACHE_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(KTCACHE_BUILDING_LIBRARY)
#define KTCACHE_API __declspec(dllexport)
#else
#define KTCACHE_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define KTCACHE_API __attribute__((visibility("default")))
#else
#define KTCACHE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------
 * Constants
 * ------------------------------------------------------------------------- */

/** Version text returned by ktcache_version(). */
#define KTCACHE_VERSION_STRING "1.0.0"

/** Interface number returned by ktcache_abi_version(); it changes only when an
 *  existing function changes its arguments, results or meaning. */
#define KTCACHE_ABI_VERSION 1

/** Size in bytes of each thread's last-error buffer, NUL included. Every
 *  message is a short fixed text well below this size. */
#define KTCACHE_LAST_ERROR_SIZE 256

/** Minimum file size used when a caller passes 0 or a negative minimum to
 *  ktcache_validate_file(), and by every validation of a directory scan. */
#define KTCACHE_DEFAULT_MIN_SIZE 1024

/** Capacity that holds every text of ktcache_format_bytes(), NUL included,
 *  while the decimal mark is one byte, as in the default "C" locale (the
 *  longest text, "8589934592.00 GB", is 16 bytes). A locale whose mark is a
 *  multibyte character lengthens a text by up to 15 bytes (a character is at
 *  most 16 bytes long); a host that switches to such a locale passes
 *  KTCACHE_BYTES_TEXT_SIZE + 15. */
#define KTCACHE_BYTES_TEXT_SIZE 17

/** Audio container recognised from the first bytes of a file. */
typedef int32_t ktcache_format;

enum {
    KTCACHE_FORMAT_INVALID = 0, /* "invalid": no recognised header            */
    KTCACHE_FORMAT_M4A = 1,     /* "m4a": ftyp/moov/mdat/free/wide in bytes 4-7 */
    KTCACHE_FORMAT_MP3 = 2,     /* "mp3": an ID3v2 tag, "ID3" in bytes 0-2    */
    KTCACHE_FORMAT_AAC = 3,     /* "aac": a frame sync, FF then E0..FF        */
    KTCACHE_FORMAT_FLAC = 4,    /* "flac": "fLaC"                             */
    KTCACHE_FORMAT_OGG = 5,     /* "ogg": "OggS"                              */
    KTCACHE_FORMAT_WAV = 6      /* "wav": "RIFF" or "FORM" (any form type)    */
};

/** Results of ktcache_selftest(). The values 1 and 3 are never returned. */
enum {
    KTCACHE_SELFTEST_OK = 0,
    KTCACHE_SELFTEST_HEADER_FAILED = 2,   /* an HTML page was taken for audio   */
    KTCACHE_SELFTEST_FILENAME_FAILED = 4, /* a URL did not give the known name  */
    KTCACHE_SELFTEST_SIZE_TEXT_FAILED = 5 /* a byte count did not give its text */
};

/* ---------------------------------------------------------------------------
 * Library and error state
 * ------------------------------------------------------------------------- */

/** Returns the library's version text, "1.0.0".
 *  The same pointer on every call; owned by the library, valid while it is
 *  loaded. Never null. Thread-safe. */
KTCACHE_API const char *ktcache_version(void);

/** Returns the interface number, KTCACHE_ABI_VERSION (1). Thread-safe. */
KTCACHE_API int32_t ktcache_abi_version(void);

/** Returns the calling thread's last-error text.
 *  Never null. The empty text until a call of ktcache_validate_file() or
 *  ktcache_scan_dir_json() on this thread reports a failure; those two
 *  functions are the only ones that change it. The pointer is the same for
 *  every call on one thread and stays valid until that thread ends; the text
 *  behind it is owned by the library: read it, copy it if it must survive the
 *  thread's next validation or scan, never write to it or free it.
 *
 *  Messages: "empty path", "stat failed", "not regular file",
 *  "file below minimum size", "fopen failed", "unrecognized audio header"
 *  (validation) and "empty dir_path", "opendir failed" (scan). */
KTCACHE_API const char *ktcache_last_error(void);

/** Releases a block returned by ktcache_safe_filename() or
 *  ktcache_scan_dir_json(). Null is accepted and does nothing. Passing any
 *  other pointer (a constant text of the library, the last-error text, a block
 *  already released) is undefined behaviour. Thread-safe. */
KTCACHE_API void ktcache_free(void *block);

/* ---------------------------------------------------------------------------
 * Audio headers and cached files
 * ------------------------------------------------------------------------- */

/** Classifies the first bytes of a file.
 *  `header` may be null; `length` is the number of readable bytes there.
 *  Returns a format code from 1 to 6 when a signature matches, else
 *  KTCACHE_FORMAT_INVALID (0), also for a null pointer and for fewer than 12
 *  bytes. Reads at most the first 8 bytes, allocates nothing, keeps no state;
 *  thread-safe. The tests run in a fixed order and the first match wins: box
 *  type in bytes 4-7 (m4a), "ID3" (mp3), frame sync (aac), "fLaC", "OggS",
 *  "RIFF"/"FORM" (wav). Comparisons are exact and case-sensitive. */
KTCACHE_API ktcache_format ktcache_has_valid_audio_magic(const void *header, size_t length);

/** Returns the short name of a format code: "m4a", "mp3", "aac", "flac",
 *  "ogg" or "wav" for 1 to 6, and "invalid" for every other value. The text
 *  is owned by the library and valid while it is loaded. Thread-safe. */
KTCACHE_API const char *ktcache_format_name(ktcache_format format);

/** Validates one cached file: it must exist, be a regular file (symbolic
 *  links are followed), be at least `min_size` bytes long and begin with a
 *  recognised audio header.
 *
 *  `path` may be null. `min_size` <= 0 selects KTCACHE_DEFAULT_MIN_SIZE.
 *  Returns:
 *    -1  the check cannot be carried out ("empty path", "stat failed",
 *        "fopen failed");
 *     0  the file is not acceptable ("not regular file",
 *        "file below minimum size", "unrecognized audio header");
 *   1-6  the file's format code; the last-error text is cleared.
 *  The reason is left in the calling thread's last-error text.
 *
 *  The file is only read (at most its first 64 bytes), never changed. It is
 *  opened close-on-exec and without blocking, so a FIFO or device that takes
 *  the file's place does not hang the call (on Windows: not inherited by
 *  child processes). On Windows a file of 2 GiB or more, whose size the
 *  32-bit status record cannot hold, gives -1 and "stat failed"; elsewhere
 *  sizes are 64-bit. Allocates nothing (on Windows, a path whose full form
 *  has MAX_PATH characters or more takes blocks for its UTF-16 forms; when
 *  they cannot be had the result is -1 and "stat failed"). Thread-safe. */
KTCACHE_API int32_t ktcache_validate_file(const char *path, int64_t min_size);

/* ---------------------------------------------------------------------------
 * Download naming
 * ------------------------------------------------------------------------- */

/** Derives a safe cache file name from a download URL.
 *
 *  The query and fragment (from the first "?" or "#") are dropped, trailing
 *  "/" removed, the last "/"-separated segment percent-decoded once, every
 *  byte below 0x20 and each of  " * / : < > ? \ | DEL  replaced by "_", and
 *  trailing spaces and dots trimmed. When nothing is left, or `url` is null or
 *  empty, the name is "track.m4a". Scheme and host are not parsed.
 *
 *  Every name can then be stored on every platform, and the scan of
 *  ktcache_scan_dir_json() lists it. Three steps follow the trim, the same
 *  on every platform, since a cache moves between systems:
 *    - each byte that belongs to no well-formed UTF-8 sequence becomes "_"
 *      (overlong forms, surrogates and anything above U+10FFFF included):
 *      "Caf%E9.mp3" gives "Caf_.mp3", "%ED%A0%80.mp3" gives "___.mp3";
 *      UTF-8 text ("%C3%A9", an emoji) passes unchanged;
 *    - a name that begins with "." gets "_" in front, so that it is not
 *      hidden: ".hidden.mp3" gives "_.hidden.mp3";
 *    - a name whose stem (up to its first ".", trailing spaces aside) is,
 *      in any ASCII case, a Windows device name (CON, PRN, AUX, NUL,
 *      CONIN$, CONOUT$, COM0 to COM9, LPT0 to LPT9, or COM or LPT followed
 *      by a superscript 1, 2 or 3) gets "_" right after the stem: "CON"
 *      gives "CON_", "nul.tar.mp3" gives "nul_.tar.mp3", "Aux .flac" gives
 *      "Aux_ .flac"; "Console.mp3" and "COM10.mp3" stay as they are.
 *  Version 1.0.0 made such names as they stood. A host that stored a track
 *  under one of them finds no file under the new name and downloads the
 *  track once more; the old file stays where it is (see CHANGELOG.md).
 *
 *  Names are at most 255 bytes, the longest that common file systems store.
 *  A longer name keeps its extension (the last "." and at most 16 bytes
 *  after it, unless that "." begins the name); the rest is cut to fit,
 *  never inside a UTF-8 character, and "~" with 8 lower-case hexadecimal
 *  digits of the 32-bit FNV-1a hash of the whole long name goes before the
 *  extension, so that long names sharing their beginning stay apart:
 *  <first 242 bytes>~1a2b3c4d.m4a . The cut and the hash are the same on
 *  every platform; names of 255 bytes or fewer are not shortened.
 *
 *  Returns a new NUL-terminated block owned by the caller (release it with
 *  ktcache_free()), or null only when memory runs out. Never touches the
 *  last-error text. Thread-safe. */
KTCACHE_API char *ktcache_safe_filename(const char *url);

/* ---------------------------------------------------------------------------
 * Cache inventory
 * ------------------------------------------------------------------------- */

/** Scans one cache directory (not its subdirectories) into a JSON report,
 *  optionally deleting the files that fail validation.
 *
 *  Arguments
 *    dir_path  the cache directory; may be null.
 *    purge     0: report only; any other value: also delete broken files.
 *
 *  What is listed
 *    Entries whose names begin with "." are ignored. Every other entry that
 *    is a regular file (after following symbolic links) is validated as by
 *    ktcache_validate_file(path, KTCACHE_DEFAULT_MIN_SIZE). Valid files are
 *    listed in directory enumeration order, compact, on one line, without a
 *    trailing newline:
 *
 *      {"validCount":2,"purgedCount":1,"totalBytes":3145728,"files":[
 *       {"name":"a.m4a","bytes":1048576,"format":"m4a"},...]}
 *
 *    "totalBytes" stops at the largest 64-bit value instead of overflowing.
 *    On Windows a file of 2 GiB or more is neither listed nor deleted (see
 *    ktcache_validate_file()), and a name that does not convert from UTF-16
 *    (a surrogate without its partner) counts as a name that is not UTF-8.
 *
 *  Returns
 *    A new NUL-terminated UTF-8 text owned by the caller (release it with
 *    ktcache_free()), or null:
 *      - "empty dir_path": `dir_path` is null or empty; nothing was touched;
 *      - "opendir failed": the directory cannot be opened; nothing was
 *        touched;
 *      - empty last-error text: the directory was walked (and purged, if
 *        asked) but no report could be produced: descriptors or memory ran
 *        out, the enumeration of the directory failed, the name of a valid
 *        file is not well-formed UTF-8 (checked within the name; nothing
 *        past its end is read), or a file that a purge had to move aside
 *        could not be put back under its name (the next purge puts it
 *        back). Deletions already made stand; scanning again is safe.
 *    A report is always complete: it is never returned with files or
 *    members missing. After every call that opened the directory the
 *    last-error text is empty.
 *
 *  Other programs, on Windows
 *    A scan holds each file it reads open for a moment, sharing reading,
 *    writing and deletion, and holds the directory without delete sharing
 *    for the whole call. A downloader that renames a finished file over a
 *    track that a scan or a player holds at that moment can still meet
 *    access denied or a sharing violation: retry such a rename.
 *
 *  What a purge deletes
 *    A regular file that the scan itself has judged broken: shorter than the
 *    minimum by its status, refused to the caller (EACCES or EPERM on open),
 *    or read to its 64th byte or its end without a recognised header. The
 *    purge holds that file from its judgement until it has decided, and
 *    deletes it only while its name still holds the same file, unchanged
 *    (device, inode, size and modification time): a file renamed over the
 *    name meanwhile (a download finishing), or a file still being written,
 *    stays. "purgedCount" counts the deletions that succeeded; a deletion
 *    that fails leaves the file and is not reported. A deleted file's name
 *    is gone when the call returns, on Windows too, so that a new download
 *    can take it at once; its storage is freed when the last program that
 *    holds the file open closes it. A symbolic link is deleted as the entry
 *    it is, never the file it leads to.
 *    A purge also finishes what a killed purge left under a
 *    ".ktcache-purge-" name: it deletes a broken one (counted), and gives a
 *    valid one its own name back where that name is free (not listed in
 *    that report).
 *
 *  What a purge never deletes
 *    - a valid file;
 *    - a file outside the directory named, also one that a link in it leads
 *      to (under Wine, where a Linux link looks like the file it leads to,
 *      such a link is kept);
 *    - a hidden entry (but see the leftovers above), a directory, or
 *      anything else that is no regular file;
 *    - a file that is not there for a moment (renamed away and back while
 *      the scan looks at it): neither listed nor deleted;
 *    - a file that cannot be opened, read or held for a reason of its own
 *      (a lease held by another process, an I/O error, a signal that keeps
 *      interrupting): neither listed nor deleted, and the report of the
 *      rest is still returned;
 *    - anything, once the process or the system runs out of file descriptors
 *      or memory: no report is returned, since every later file would fail
 *      alike and a report would show the cache as missing its tracks.
 *
 *    How a purge deletes, what a crash leaves behind, and what each platform
 *    and file system adds: docs/purge.md.
 *
 *  Memory, threads and reads
 *    The directory is closed before the report is written. Peak memory is
 *    about the size of the report, whatever the size of the directory.
 *    Thread-safe; concurrent scans of one directory are not coordinated.
 *    The call runs on the caller's thread and starts no thread. On Linux it
 *    first tries to read each file's first bytes without waiting for the
 *    disk (preadv2 with RWF_NOWAIT), so that a scan of a cache in memory
 *    makes one read per file as before. When a file is not in memory, the
 *    scan keeps up to 64 files open and their reads in flight with io_uring
 *    (a ring made on first need and torn down before the call returns):
 *    the kernel reads them, itself or in worker threads of its own (io-wq),
 *    while the call goes on, and the report keeps the listing's order.
 *    Where io_uring is unavailable (disabled, or refused by a seccomp
 *    filter) the scan reads one file at a time. On Windows it reads one
 *    file at a time. A purge acts on a file only once its own read is done. */
KTCACHE_API char *ktcache_scan_dir_json(const char *dir_path, int32_t purge);

/* ---------------------------------------------------------------------------
 * Presentation helpers and self-test
 * ------------------------------------------------------------------------- */

/** Returns 0 when `status` is an HTTP success (200 to 299), else -1, for every
 *  32-bit value. Pure; thread-safe. */
KTCACHE_API int32_t ktcache_validate_http_status(int32_t status);

/** Writes `byte_count` as a short display text into `buf`:
 *    below 0 -> "0 B";  0..1023 -> "N B";  below 2^20 -> "%.1f KB";
 *    below 2^30 -> "%.1f MB";  otherwise -> "%.2f GB"  (units of 1024).
 *  The band is chosen before rounding, so 1048575 reads "1024.0 KB". Halves
 *  round to even ("1.2 KB" for 1280). The decimal mark is the current
 *  locale's; the library never changes the locale.
 *
 *  `buf` is the caller's buffer of `buf_size` bytes. Returns the text's length
 *  without the NUL when it fits, else -1. With a null `buf` or a `buf_size` of
 *  0 nothing is written; otherwise the buffer always ends up NUL-terminated,
 *  holding as much of the text as fits. KTCACHE_BYTES_TEXT_SIZE (17) bytes
 *  always suffice with a one-byte decimal mark, KTCACHE_BYTES_TEXT_SIZE + 15
 *  with any mark. Pure; thread-safe. */
KTCACHE_API int32_t ktcache_format_bytes(int64_t byte_count, char *buf, size_t buf_size);

/** Runs three fixed checks: an HTML page start is not audio, a known URL gives
 *  its known file name, 15369751 bytes read "14.7 MB". Returns
 *  KTCACHE_SELFTEST_OK (0) or the code of the first failing check (2, 4 or 5).
 *  Touches no file and leaves the last-error text as it was. Thread-safe. */
KTCACHE_API int32_t ktcache_selftest(void);

#ifdef __cplusplus
}
#endif

#endif /* KTCACHE_H */
