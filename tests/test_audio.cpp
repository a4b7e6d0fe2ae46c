// Recognising audio headers, naming formats and validating one cached file.
#include "support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

namespace {

struct MagicCase {
    const char *what;
    std::string bytes;
    ktcache_format expected;
};

// Without this, test names would be printed from the object's raw bytes,
// padding included, which memory checkers rightly call uninitialised.
void PrintTo(const MagicCase &c, std::ostream *out) { *out << c.what; }

std::string bytes_of(std::initializer_list<int> values, size_t pad_to = 12) {
    std::string s;
    for (int v : values) s.push_back(static_cast<char>(v));
    if (s.size() < pad_to) s.resize(pad_to, '\0');
    return s;
}

const MagicCase kMagicCases[] = {
    {"html page start", "<!DOCTYPE ht", KTCACHE_FORMAT_INVALID},
    {"ftyp after any size",
     std::string("\xAB\xCD\xEF\x01"
                 "ftypisom",
                 12),
     KTCACHE_FORMAT_M4A},
    {"moov box", std::string("\0\0\0\x08moov\0\0\0\0", 12), KTCACHE_FORMAT_M4A},
    {"mdat box", std::string("\0\0\0\x08mdat\0\0\0\0", 12), KTCACHE_FORMAT_M4A},
    {"free box",
     std::string("\0\0\0\x08"
                 "free\0\0\0\0",
                 12),
     KTCACHE_FORMAT_M4A},
    {"wide box", std::string("\0\0\0\x08wide\0\0\0\0", 12), KTCACHE_FORMAT_M4A},
    {"box type wins over ID3",
     std::string("ID3\x01"
                 "free\0\0\0\0",
                 12),
     KTCACHE_FORMAT_M4A},
    {"box type wins over RIFF", std::string("RIFFftyp\0\0\0\0", 12), KTCACHE_FORMAT_M4A},
    {"upper-case box type",
     std::string("\0\0\0\x08"
                 "FTYP\0\0\0\0",
                 12),
     KTCACHE_FORMAT_INVALID},
    {"ID3 tag", std::string("ID3\x04\0\0\0\0\0\0\0\0", 12), KTCACHE_FORMAT_MP3},
    {"ID2 is nothing", std::string("ID2\x04\0\0\0\0\0\0\0\0", 12), KTCACHE_FORMAT_INVALID},
    {"sync FF E0", bytes_of({0xFF, 0xE0}), KTCACHE_FORMAT_AAC},
    {"sync FF F1 (ADTS)", bytes_of({0xFF, 0xF1}), KTCACHE_FORMAT_AAC},
    {"sync FF FB (MPEG layer 3)", bytes_of({0xFF, 0xFB}), KTCACHE_FORMAT_AAC},
    {"FF DF is no sync", bytes_of({0xFF, 0xDF}), KTCACHE_FORMAT_INVALID},
    {"FE FF is no sync", bytes_of({0xFE, 0xFF}), KTCACHE_FORMAT_INVALID},
    {"flac", std::string("fLaC\0\0\0\x22\0\0\0\0", 12), KTCACHE_FORMAT_FLAC},
    {"ogg", std::string("OggS\0\x02\0\0\0\0\0\0", 12), KTCACHE_FORMAT_OGG},
    {"riff wave", std::string("RIFF\x24\x08\0\0WAVE", 12), KTCACHE_FORMAT_WAV},
    {"riff avi",
     std::string("RIFF\x24\x08\0\0"
                 "AVI ",
                 12),
     KTCACHE_FORMAT_WAV},
    {"form aiff",
     std::string("FORM\0\0\x10\0"
                 "AIFF",
                 12),
     KTCACHE_FORMAT_WAV},
    {"lower-case riff", std::string("riff\x24\x08\0\0WAVE", 12), KTCACHE_FORMAT_INVALID},
    {"lower-case flac", std::string("flac\0\0\0\0\0\0\0\0", 12), KTCACHE_FORMAT_INVALID},
    {"all zero", std::string(12, '\0'), KTCACHE_FORMAT_INVALID},
};

class HeaderRecognition : public ::testing::TestWithParam<MagicCase> {};

TEST_P(HeaderRecognition, ClassifiesTheFirstBytes) {
    const MagicCase &c = GetParam();
    EXPECT_EQ(ktcache_has_valid_audio_magic(c.bytes.data(), c.bytes.size()), c.expected) << c.what;
    // Fewer than 12 bytes are never examined.
    EXPECT_EQ(ktcache_has_valid_audio_magic(c.bytes.data(), 11), KTCACHE_FORMAT_INVALID) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Signatures, HeaderRecognition, ::testing::ValuesIn(kMagicCases));

TEST(HeaderRecognitionLimits, NullOrShortInputIsInvalid) {
    EXPECT_EQ(ktcache_has_valid_audio_magic(nullptr, 0), KTCACHE_FORMAT_INVALID);
    EXPECT_EQ(ktcache_has_valid_audio_magic(nullptr, 4096), KTCACHE_FORMAT_INVALID);
    EXPECT_EQ(ktcache_has_valid_audio_magic("fLaC", 0), KTCACHE_FORMAT_INVALID);
    const std::string flac = std::string("fLaC") + std::string(8, '\0');
    EXPECT_EQ(ktcache_has_valid_audio_magic(flac.data(), 11), KTCACHE_FORMAT_INVALID);
    EXPECT_EQ(ktcache_has_valid_audio_magic(flac.data(), 12), KTCACHE_FORMAT_FLAC);
    EXPECT_EQ(ktcache_has_valid_audio_magic(flac.data(), SIZE_MAX), KTCACHE_FORMAT_FLAC);
}

TEST(HeaderRecognitionLimits, Id3WithAnyOtherThirdByteIsInvalid) {
    for (int b = 0; b < 256; ++b) {
        std::string h = std::string("ID") + static_cast<char>(b) + std::string(9, '\0');
        EXPECT_EQ(ktcache_has_valid_audio_magic(h.data(), h.size()),
                  b == '3' ? KTCACHE_FORMAT_MP3 : KTCACHE_FORMAT_INVALID)
            << b;
    }
}

TEST(HeaderRecognitionLimits, FrameSyncNeedsTheThreeHighBits) {
    for (int b = 0; b < 256; ++b) {
        std::string h = bytes_of({0xFF, b});
        EXPECT_EQ(ktcache_has_valid_audio_magic(h.data(), h.size()),
                  (b & 0xE0) == 0xE0 ? KTCACHE_FORMAT_AAC : KTCACHE_FORMAT_INVALID)
            << b;
    }
}

TEST(FormatNames, CoverEveryCodeAndFallBackToInvalid) {
    const char *expected[] = {"invalid", "m4a", "mp3", "aac", "flac", "ogg", "wav"};
    for (int code = 0; code <= 6; ++code) EXPECT_STREQ(ktcache_format_name(code), expected[code]);
    for (int code : {7, 99, -1, INT_MIN, INT_MAX})
        EXPECT_STREQ(ktcache_format_name(code), "invalid");
    EXPECT_EQ(ktcache_format_name(1), ktcache_format_name(1)); // a constant, not a copy
}

// ---------------------------------------------------------------------------
// Validation of one file
// ---------------------------------------------------------------------------

struct Outcome {
    int32_t result;
    std::string message;
};

Outcome validate(const std::string &path, int64_t min_size) {
    int32_t r = ktcache_validate_file(path.c_str(), min_size);
    return {r, ktcache_last_error()};
}

#define EXPECT_OUTCOME(outcome, r, msg)                                                            \
    do {                                                                                           \
        Outcome o_ = (outcome);                                                                    \
        EXPECT_EQ(o_.result, r);                                                                   \
        EXPECT_EQ(o_.message, msg);                                                                \
    } while (0)

TEST(FileValidation, PathsThatCannotBeChecked) {
    EXPECT_EQ(ktcache_validate_file(nullptr, 0), -1);
    EXPECT_STREQ(ktcache_last_error(), "empty path");
    EXPECT_OUTCOME(validate("", 0), -1, "empty path");
    EXPECT_OUTCOME(validate("/nonexistent/ktcache/x.mp3", 0), -1, "stat failed");
    kt::TempDir dir;
    EXPECT_OUTCOME(validate(dir.path(), 0), 0, "not regular file");
    EXPECT_OUTCOME(validate(dir.path() + "/", 0), 0, "not regular file");
#ifndef _WIN32
    EXPECT_OUTCOME(validate("/dev/null", 0), 0, "not regular file");
#endif
}

TEST(FileValidation, MinimumSizeDefaultsTo1024AndIsInclusive) {
    kt::TempDir dir;
    const std::string short_track = dir.track("short.ogg", KTCACHE_FORMAT_OGG, 1023);
    const std::string exact_track = dir.track("exact.ogg", KTCACHE_FORMAT_OGG, 1024);
    for (int64_t min : {INT64_C(0), INT64_C(-5), INT64_MIN, INT64_C(1024)}) {
        EXPECT_OUTCOME(validate(short_track, min), 0, "file below minimum size");
        EXPECT_OUTCOME(validate(exact_track, min), KTCACHE_FORMAT_OGG, "");
    }
    EXPECT_OUTCOME(validate(exact_track, 1025), 0, "file below minimum size");
    EXPECT_OUTCOME(validate(exact_track, INT64_MAX), 0, "file below minimum size");
}

TEST(FileValidation, TinyMinimumLetsShortFilesReachTheHeaderCheck) {
    kt::TempDir dir;
    const std::string empty = dir.write("empty.mp3", "", 0);
    const std::string five = dir.write("five.mp3", "ID3\x04\x00", 5);
    EXPECT_OUTCOME(validate(empty, 1), 0, "file below minimum size");
    EXPECT_OUTCOME(validate(five, 1), 0, "unrecognized audio header");
}

TEST(FileValidation, RecognisesEachContainerAndClearsAnEarlierMessage) {
    kt::TempDir dir;
    for (ktcache_format f = KTCACHE_FORMAT_M4A; f <= KTCACHE_FORMAT_WAV; ++f) {
        const std::string path = dir.track(std::string("t.") + ktcache_format_name(f), f, 2000);
        ASSERT_EQ(ktcache_validate_file(nullptr, 0), -1);
        EXPECT_OUTCOME(validate(path, 0), f, "");
    }
}

TEST(FileValidation, HtmlErrorPageSavedAsTrackIsRejected) {
    kt::TempDir dir;
    const std::string page = dir.write("song.m4a", "<!DOCTYPE html><html><body>404", 2000);
    EXPECT_OUTCOME(validate(page, 0), 0, "unrecognized audio header");
}

#ifndef _WIN32
// Symbolic links, FIFOs and a second, unprivileged user are POSIX features.

TEST(FileValidation, FollowsSymbolicLinksAndRejectsDanglingOnes) {
    kt::TempDir dir;
    const std::string target = dir.track("target.flac", KTCACHE_FORMAT_FLAC);
    ASSERT_EQ(symlink(target.c_str(), (dir / "link.flac").c_str()), 0);
    ASSERT_EQ(symlink((dir / "gone").c_str(), (dir / "dangling.flac").c_str()), 0);
    EXPECT_OUTCOME(validate(dir / "link.flac", 0), KTCACHE_FORMAT_FLAC, "");
    EXPECT_OUTCOME(validate(dir / "dangling.flac", 0), -1, "stat failed");
}

TEST(FileValidation, FifoIsNotRegularAndDoesNotBlock) {
    kt::TempDir dir;
    ASSERT_EQ(mkfifo((dir / "pipe.mp3").c_str(), 0644), 0);
    EXPECT_OUTCOME(validate(dir / "pipe.mp3", 0), 0, "not regular file");
}

TEST(FileValidation, UnreadableFileCannotBeChecked) {
    kt::TempDir dir;
    const std::string locked = dir.track("locked.mp3", KTCACHE_FORMAT_MP3);
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    int status = kt::run_as_nobody([&] {
        int32_t r = ktcache_validate_file(locked.c_str(), 0);
        return r == -1 && std::strcmp(ktcache_last_error(), "fopen failed") == 0 ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
}

#endif // !_WIN32

TEST(FileValidation, OnlyReadsTheFile) {
    kt::TempDir dir;
    const std::string page = dir.write("bad.mp3", "<html>", 4096);
    struct stat before, after;
    ASSERT_EQ(stat(page.c_str(), &before), 0);
    EXPECT_EQ(ktcache_validate_file(page.c_str(), 0), 0);
    ASSERT_EQ(stat(page.c_str(), &after), 0);
    EXPECT_EQ(before.st_size, after.st_size);
    EXPECT_EQ(before.st_mtime, after.st_mtime);
}

} // namespace
