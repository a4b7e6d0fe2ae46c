#include "cache_mix.h"

#include "sample_headers.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <string>

namespace bench {
namespace {

// The kinds of track a cache holds: every sample header that is audio.
using TrackKind = samples::SampleHeader;
constexpr size_t kTrackKindCount = samples::kSampleHeaderCount - 1; // all but the web page
static_assert(samples::kSampleHeaders[kTrackKindCount].format == KTCACHE_FORMAT_INVALID,
              "the web page is the last sample");

// Names as a player stores them: artist, title, a running number that keeps
// them unique. A few carry non-ASCII UTF-8 or a quotation mark, which the
// report writes unchanged or escaped.
constexpr const char *kArtists[] = {
    "Aurora Lane",          "Café Tacvba",    "Sigur Rós",
    "The Midnight Drive",   "坂本龍一",       "Björk",
    "The \"Live\" Band",    "Nils Frahm",     "Field Recorder",
    "Orchestre de l’Opéra", "DJ Ünderground", "Mono Lake",
};
constexpr const char *kTitles[] = {
    "Nightfall",
    "Eres",
    "Hoppípolla",
    "Interlude",
    "Merry Christmas",
    "Jóga",
    "Slow Burn",
    "Says",
    "Radio Jingle",
    "Ouverture",
    "Live at the Roxy (Remastered)",
    "Drift",
    "Ça ira",
    "Intro",
};

constexpr char kHtmlBody[] =
    "<!DOCTYPE html>\n<html><head><title>403 Forbidden</title></head>\n"
    "<body><h1>403 Forbidden</h1><p>The download link has expired. Please sign in again "
    "and retry the download from the app.</p><hr><address>cdn edge</address></body></html>\n";
constexpr char kJsonBody[] =
    "{\"error\":{\"code\":403,\"status\":\"PERMISSION_DENIED\",\"message\":\"token expired\","
    "\"details\":[{\"reason\":\"SIGNED_URL_EXPIRED\",\"retryAfter\":30}]}}";

// Repeats `text` into exactly `size` bytes.
std::string repeated(const char *text, size_t size) {
    std::string out;
    out.reserve(size);
    const size_t length = std::strlen(text);
    while (out.size() < size) out.append(text, std::min(length, size - out.size()));
    return out;
}

// The number of files of `kind` in `contents`.
size_t &count_of(CacheContents &contents, FileKind kind) {
    switch (kind) {
    case FileKind::kValid: return contents.valid;
    case FileKind::kHtml: return contents.html;
    case FileKind::kJson: return contents.json;
    case FileKind::kTruncated: return contents.truncated;
    case FileKind::kHidden: return contents.hidden;
    }
    return contents.files;
}

// The part of `mix` that a roll of 0 to 99 falls in.
const MixPart &part_of(const Mix &mix, size_t roll) {
    size_t below = 0;
    for (size_t i = 0; i + 1 < mix.part_count; ++i) {
        below += mix.parts[i].percent;
        if (roll < below) return mix.parts[i];
    }
    return mix.parts[mix.part_count - 1];
}

constexpr MixPart kBenchParts[] = {
    {84, FileKind::kValid, 1024, 4096},  // listed
    {5, FileKind::kHtml, 1200, 4000},    // judged by their first bytes
    {4, FileKind::kJson, 150, 2000},     // by size or by their first bytes
    {4, FileKind::kTruncated, 12, 1023}, // judged by size
    {3, FileKind::kHidden, 512, 4096},   // never examined
};

constexpr MixPart kWindowsParts[] = {
    {80, FileKind::kValid, 2048, 4096},   // listed
    {10, FileKind::kTruncated, 12, 1023}, // judged by size
    {10, FileKind::kHtml, 1200, 4000},    // judged by their first bytes
};

} // namespace

const Mix kBenchMix = {kBenchParts, sizeof kBenchParts / sizeof *kBenchParts, true};
const Mix kWindowsMix = {kWindowsParts, sizeof kWindowsParts / sizeof *kWindowsParts, false};

CacheContents generate_cache(const Mix &mix, size_t files, CacheWriter *writer) {
    CacheContents contents;
    std::mt19937 rng(static_cast<std::mt19937::result_type>(20251209u + files));
    auto uniform = [&rng](size_t low, size_t high) {
        return std::uniform_int_distribution<size_t>(low, high)(rng);
    };
    // Filler after the header: incompressible-looking bytes, as audio is.
    std::string filler(4096, '\0');
    for (char &c : filler) c = static_cast<char>(rng() & 0xFF);

    auto track_name = [&](size_t index, const char *extension) {
        return std::string(kArtists[index % (sizeof kArtists / sizeof *kArtists)]) + " - " +
               kTitles[(index / 7) % (sizeof kTitles / sizeof *kTitles)] + " " +
               std::to_string(index) + "." + extension;
    };
    auto track_content = [&](const TrackKind &kind, size_t size) {
        std::string content(reinterpret_cast<const char *>(kind.bytes), sizeof kind.bytes);
        content.append(filler, 0, size - sizeof kind.bytes);
        return content;
    };

    for (size_t i = 0; i < files; ++i) {
        const TrackKind &track = samples::kSampleHeaders[uniform(0, kTrackKindCount - 1)];
        const size_t roll = uniform(0, 99);
        const MixPart &part = part_of(mix, roll);
        const size_t size = uniform(part.min_size, part.max_size);
        ++count_of(contents, part.kind);
        ++contents.files;
        if (part.kind == FileKind::kValid) contents.valid_bytes += static_cast<int64_t>(size);
        if (writer == nullptr) continue;

        const std::string name = track_name(i, track.extension);
        switch (part.kind) {
        case FileKind::kValid:
        case FileKind::kTruncated: writer->file(name, track_content(track, size)); break;
        case FileKind::kHtml: writer->file(name, repeated(kHtmlBody, size)); break;
        case FileKind::kJson: writer->file(name, repeated(kJsonBody, size)); break;
        case FileKind::kHidden:
            writer->file("." + name + ".part", track_content(track, size));
            break;
        }
    }
    if (!mix.folders) return contents;
    // A few folders a player keeps next to the tracks.
    const size_t folders = 4 + files / 10000;
    for (size_t i = 0; i < folders; ++i) {
        static const char *const kFolders[] = {"covers", "lyrics", "tmp", "Playlists.m4a"};
        std::string name = kFolders[i % 4];
        if (i >= 4) name += "-" + std::to_string(i);
        if (writer != nullptr) writer->folder(name);
        ++contents.subdirectories;
    }
    return contents;
}

} // namespace bench
