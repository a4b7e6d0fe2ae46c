// The loops the scan is measured against, run on the same directory in the
// same process.
#pragma once

#include <cstddef>
#include <string>

namespace bench {

// One pass of the system calls a straightforward scan makes for each entry,
// and nothing else: readdir; skip names that begin with a dot; join the full
// path (malloc + snprintf); stat; stat again; open; read 64 bytes; close;
// free. No report, no classification. Returns the bytes read.
size_t naive_floor_pass(const char *dir_path);

// One pass of exactly the system calls the scan makes for each entry, and
// nothing else: readdir; skip names that begin with a dot; fstatat relative
// to the open directory; for regular files of at least 1024 bytes, openat
// with the scan's flags, read 64 bytes, close. No report, no classification.
// Returns the bytes read.
size_t four_calls_pass(const char *dir_path);

// libmagic with one loaded database (MAGIC_MIME_TYPE, the default database).
// A pass enumerates the directory and calls magic_file on every regular file
// whose name does not begin with a dot. Present only in builds that found
// libmagic (KTCACHE_BENCH_LIBMAGIC).
class MagicReference {
  public:
    // Opens and loads the database; `error()` tells what failed.
    MagicReference();
    ~MagicReference();
    MagicReference(const MagicReference &) = delete;
    MagicReference &operator=(const MagicReference &) = delete;

    bool ok() const { return cookie_ != nullptr; }
    const std::string &error() const { return error_; }

    struct Pass {
        size_t files = 0; // files classified
        size_t audio = 0; // of which libmagic called audio/*
    };
    Pass classify_directory(const char *dir_path);

  private:
    void *cookie_ = nullptr;
    std::string error_;
};

} // namespace bench
