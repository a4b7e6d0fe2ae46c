// First bytes of a track of each kind a player downloads, with the extension
// a downloader gives it and the format the library reports for it, and of a
// web page that must never pass for audio: the one set of samples that the
// tests, the benchmarks and the fuzzers write into their files.
#pragma once

#include "ktcache.h"

#include <cstddef>

namespace samples {

struct SampleHeader {
    const char *label;
    const char *extension;
    ktcache_format format;
    unsigned char bytes[12];
};

// MP3 without an ID3 tag begins with a frame sync and reads "aac"; AIFF
// reads "wav". The first row of each format is its plain sample.
constexpr SampleHeader kSampleHeaders[] = {
    {"m4a_ftyp",
     "m4a",
     KTCACHE_FORMAT_M4A,
     {0, 0, 0, 0x20, 'f', 't', 'y', 'p', 'M', '4', 'A', ' '}},
    {"m4a_moov", "m4a", KTCACHE_FORMAT_M4A, {0, 0, 0x12, 0x34, 'm', 'o', 'o', 'v', 0, 0, 0, 0x6C}},
    {"mp3_id3", "mp3", KTCACHE_FORMAT_MP3, {'I', 'D', '3', 4, 0, 0, 0, 0, 0x23, 0x11, 'T', 'I'}},
    {"aac_adts",
     "aac",
     KTCACHE_FORMAT_AAC,
     {0xFF, 0xF1, 0x50, 0x80, 0x2E, 0x7F, 0xFC, 0x21, 0, 0x03, 0x40, 0x68}},
    {"mp3_frame_sync",
     "mp3",
     KTCACHE_FORMAT_AAC,
     {0xFF, 0xFB, 0x90, 0x64, 0, 0x0F, 0xF0, 0, 0, 0x69, 0, 0}},
    {"flac", "flac", KTCACHE_FORMAT_FLAC, {'f', 'L', 'a', 'C', 0, 0, 0, 0x22, 0x10, 0, 0x10, 0}},
    {"ogg", "ogg", KTCACHE_FORMAT_OGG, {'O', 'g', 'g', 'S', 0, 2, 0, 0, 0, 0, 0, 0}},
    {"wav_riff",
     "wav",
     KTCACHE_FORMAT_WAV,
     {'R', 'I', 'F', 'F', 0x24, 0x08, 0, 0, 'W', 'A', 'V', 'E'}},
    {"aiff_form",
     "aiff",
     KTCACHE_FORMAT_WAV,
     {'F', 'O', 'R', 'M', 0, 0, 0x08, 0x24, 'A', 'I', 'F', 'F'}},
    {"html",
     "html",
     KTCACHE_FORMAT_INVALID,
     {'<', '!', 'D', 'O', 'C', 'T', 'Y', 'P', 'E', ' ', 'h', 't'}},
};
constexpr size_t kSampleHeaderCount = sizeof kSampleHeaders / sizeof *kSampleHeaders;

// The plain sample of `format`; the web page for any code that is no format.
constexpr const SampleHeader &sample_header(ktcache_format format) {
    for (const SampleHeader &h : kSampleHeaders)
        if (h.format == format) return h;
    return kSampleHeaders[kSampleHeaderCount - 1];
}

} // namespace samples
