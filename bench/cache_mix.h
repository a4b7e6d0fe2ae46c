// The files of a generated cache directory: which kinds, in which shares, with
// which names, sizes and contents. Where and how they are written is the
// caller's (cache_dir.h on POSIX, the Windows benchmark with the wide file
// calls), so the same mix serves both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace bench {

// What a generated directory holds. "files" counts every regular file,
// hidden ones included; the subdirectories come on top.
struct CacheContents {
    size_t files = 0;
    size_t valid = 0;     // listed by a scan
    size_t html = 0;      // error pages saved as tracks
    size_t json = 0;      // JSON error bodies saved as tracks
    size_t truncated = 0; // valid header, below 1024 bytes
    size_t hidden = 0;    // ".name.part", never examined
    size_t subdirectories = 0;
    int64_t valid_bytes = 0;
};

enum class FileKind {
    kValid,     // a complete download: an audio header, then random bytes
    kHtml,      // the CDN's error page, saved as the track
    kJson,      // an API error body, saved as the track
    kTruncated, // a download cut short: a valid header, then too few bytes
    kHidden,    // a download in progress, ".NAME.part"
};

// One kind of file of a mix: its share of the files and its size range.
struct MixPart {
    unsigned percent;
    FileKind kind;
    size_t min_size, max_size; // bytes, both included
};

struct Mix {
    const MixPart *parts; // shares adding up to 100
    size_t part_count;
    bool folders; // a few folders beside the files ("covers", "lyrics", ...)
};

// The mix of the Linux benchmarks (docs/performance.md): 84 % valid tracks
// of 1 to 4 KiB, 5 % HTML pages, 4 % JSON bodies, 4 % truncated downloads,
// 3 % hidden partial downloads, and a few folders.
extern const Mix kBenchMix;

// The mix of the Windows measurements: 80 % valid tracks of 2 to 4 KiB,
// 10 % truncated below 1024 bytes, 10 % HTML pages without an audio header;
// no folders, no hidden files.
extern const Mix kWindowsMix;

// Receives the entries of a generated directory. Names are UTF-8 and may
// hold a quotation mark, which Windows does not allow in file names.
class CacheWriter {
  public:
    virtual ~CacheWriter() = default;
    virtual void file(const std::string &name, const std::string &content) = 0;
    virtual void folder(const std::string &name) = 0;
};

// Generates `files` files of `mix` into `writer`, or only counts them when
// `writer` is null. The same mix and count always give the same names,
// sizes and contents.
CacheContents generate_cache(const Mix &mix, size_t files, CacheWriter *writer);

} // namespace bench
