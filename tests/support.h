// Helpers shared by the test programs: temporary cache directories, files
// with real audio headers and forked children. Library texts are held in the
// public header's ktcache::unique_text, which these tests exercise too.
#pragma once

#include "ktcache.h"
#include "ktcache.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kt {

// The first bytes of a real file of each container, padded to 12 bytes.
std::string audio_header(ktcache_format format);

// A private directory below the system's temporary directory, removed with
// everything in it when the object goes away.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

    // Writes `name` with `header` followed by filler up to `size` bytes.
    std::string write(const std::string &name, const std::string &header, size_t size) const;
    // Writes a valid track of `format` and `size` bytes.
    std::string track(const std::string &name, ktcache_format format, size_t size = 2048) const;
    // Writes `name` with `header` and extends it to `size` bytes without
    // writing the rest (a sparse file where the file system allows).
    std::string sparse(const std::string &name, const std::string &header, int64_t size) const;
    std::string subdir(const std::string &name) const;
    bool exists(const std::string &name) const;

  private:
    std::string path_;
};

// The bytes of a file, or nothing when it cannot be read.
std::string contents_of(const std::string &path);

// Names as readdir returns them, in enumeration order, without "." and "..".
// On Windows, test names and paths are UTF-8: the helpers make and list
// files by their UTF-16 names, as a Unicode host does.
std::vector<std::string> enumeration_order(const std::string &dir);

#ifdef _WIN32
std::wstring utf16(const std::string &utf8);
std::string utf8(const std::wstring &utf16);

// The Linux side of Wine, which acts on a cache as a native program does
// and makes what no Windows path can name: "NUL.mp3", "song.m4a.",
// symbolic links. is_wine() tells whether the tests run there; the rest
// needs it.
bool is_wine();
// The Linux path of a Windows path, quoted for the shell; and of the entry
// `name` of the directory `dir`, which may be a name that Windows paths
// read otherwise ("NUL.mp3" is the device there).
std::string unix_path(const std::string &path);
std::string unix_path(const std::string &dir, const std::string &name);
// A script run by /bin/sh on the Linux side, started at once; wait() gives
// its exit status (-1 when it did not end within a minute).
class UnixShell {
  public:
    explicit UnixShell(const std::string &script);
    bool finished() const;
    int wait() const;

  private:
    TempDir work_;
};
// Runs a script to its end and gives its exit status.
int run_unix_shell(const std::string &script);
#endif

#ifndef _WIN32
// Processes, users and terminals: POSIX only (fork, setuid, pseudo-terminals).

// Runs `body` in a forked child and returns its exit status, or 128 + the
// signal that ended it. `timeout_seconds` arms an alarm in the child.
int run_in_child(const std::function<int()> &body, unsigned timeout_seconds = 20);

// As run_in_child, after dropping to the unprivileged uid/gid 65534, so that
// permission checks bite even when the tests run as root.
int run_as_nobody(const std::function<int()> &body);
constexpr unsigned kNobody = 65534;

// Runs a program with stdin from /dev/null and collects what it writes.
// With `terminal`, its stdout is a pseudo-terminal (carriage returns that the
// terminal adds are removed again).
struct ProcessResult {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
};
ProcessResult run_program(const std::vector<std::string> &argv, bool terminal = false);

// As run_program, with stdout opened for writing on `stdout_file` (such as
// /dev/full) instead; `out` stays empty.
ProcessResult run_program_into(const std::vector<std::string> &argv,
                               const std::string &stdout_file);

// Runs a program on a pseudo-terminal of `columns` columns that is its
// controlling terminal and its stdin, stdout and stderr, as in an
// interactive shell; `input` is typed ahead. The terminal does not echo the
// input, so `out` holds exactly what the program wrote (without the
// carriage returns that the terminal adds), and `err` stays empty.
ProcessResult run_on_terminal(const std::vector<std::string> &argv, const std::string &input,
                              unsigned short columns = 80);

// As run_on_terminal, typing `input` only once the program has written
// `after` (a question), and calling `meanwhile` just before.
struct TerminalAnswer {
    std::string after;
    std::function<void()> meanwhile;
    std::string input;
};
ProcessResult run_on_terminal(const std::vector<std::string> &argv, const TerminalAnswer &answer,
                              unsigned short columns = 80);
#endif

// Scans and returns the report as a string; "<null>" for a null result.
std::string scan(const std::string &dir, bool purge);

// The report the library must produce for these valid files, in this order.
struct Listed {
    std::string name;
    int64_t bytes;
    std::string format;
};
std::string expected_report(const std::vector<Listed> &files, uint64_t purged);

} // namespace kt
