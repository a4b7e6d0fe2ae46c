// The C++ convenience header: ownership, optional results and attached
// last-error texts, over the same library calls.
#include "ktcache.hpp"
#include "support.h"

#include <gtest/gtest.h>

#include <type_traits>

namespace {

TEST(CppHeader, FormatEnumMatchesTheCodesAndNames) {
    static_assert(std::is_same_v<std::underlying_type_t<ktcache::Format>, int32_t>);
    EXPECT_EQ(static_cast<int32_t>(ktcache::Format::wav), KTCACHE_FORMAT_WAV);
    EXPECT_EQ(ktcache::name(ktcache::Format::flac), "flac");
    EXPECT_EQ(ktcache::name(static_cast<ktcache::Format>(42)), "invalid");
    EXPECT_EQ(ktcache::detect_format(std::string_view("OggS\0\0\0\0\0\0\0\0", 12)),
              ktcache::Format::ogg);
    EXPECT_EQ(ktcache::detect_format(std::string_view("OggS")), ktcache::Format::invalid);
}

TEST(CppHeader, ValidationCarriesCodeFormatAndReason) {
    kt::TempDir dir;
    const std::string ok = dir.track("ok.mp3", KTCACHE_FORMAT_MP3);
    const std::string tiny = dir.track("tiny.mp3", KTCACHE_FORMAT_MP3, 12);

    const ktcache::Validation valid = ktcache::validate_file(ok);
    EXPECT_TRUE(valid);
    EXPECT_EQ(valid.format(), ktcache::Format::mp3);
    EXPECT_EQ(valid.reason, "");

    const ktcache::Validation rejected = ktcache::validate_file(tiny);
    EXPECT_FALSE(rejected);
    EXPECT_TRUE(rejected.checked());
    EXPECT_EQ(rejected.format(), ktcache::Format::invalid);
    EXPECT_EQ(rejected.reason, "file below minimum size");
    EXPECT_TRUE(ktcache::validate_file(tiny, 12).valid());

    const ktcache::Validation missing = ktcache::validate_file(dir / "missing.mp3");
    EXPECT_FALSE(missing.checked());
    EXPECT_EQ(missing.code, -1);
    EXPECT_EQ(missing.reason, "stat failed");
}

TEST(CppHeader, SafeFilenameAsStringOrAsTheLibraryBlock) {
    EXPECT_EQ(ktcache::safe_filename("https://h/x/My%20Song.m4a?t=1"), "My Song.m4a");
    EXPECT_EQ(ktcache::safe_filename(""), "track.m4a");
    ktcache::unique_text block = ktcache::safe_filename_text(nullptr);
    ASSERT_TRUE(block);
    EXPECT_STREQ(block.get(), "track.m4a");
}

TEST(CppHeader, ScanGivesTheReportOrTheReason) {
    kt::TempDir dir;
    dir.track("a.wav", KTCACHE_FORMAT_WAV, 1500);
    dir.write("junk.wav", "<html>", 1500);

    const ktcache::ScanResult report = ktcache::scan_dir_json(dir.path());
    ASSERT_TRUE(report);
    EXPECT_EQ(*report.report, kt::expected_report({{"a.wav", 1500, "wav"}}, 0));
    EXPECT_EQ(report.error, "");

    const ktcache::ScanResult purged = ktcache::scan_dir_json(dir.path(), true);
    ASSERT_TRUE(purged.ok());
    EXPECT_EQ(*purged.report, kt::expected_report({{"a.wav", 1500, "wav"}}, 1));

    const ktcache::ScanResult failed = ktcache::scan_dir_json(dir / "missing");
    EXPECT_FALSE(failed);
    EXPECT_EQ(failed.error, "opendir failed");
    EXPECT_EQ(ktcache::scan_dir_json("").error, "empty dir_path");
}

TEST(CppHeader, PresentationHelpersAndIdentity) {
    EXPECT_EQ(ktcache::format_bytes(15369751), "14.7 MB");
    EXPECT_EQ(ktcache::format_bytes(INT64_MAX), "8589934592.00 GB");
    EXPECT_EQ(ktcache::format_bytes(-1), "0 B");
    EXPECT_TRUE(ktcache::is_http_success(204));
    EXPECT_FALSE(ktcache::is_http_success(304));
    EXPECT_EQ(ktcache::selftest(), ktcache::SelftestResult::ok);
    EXPECT_EQ(ktcache::version(), "1.0.0");
    EXPECT_EQ(ktcache::abi_version(), 1);
    ASSERT_EQ(ktcache::validate_file("").code, -1);
    EXPECT_EQ(ktcache::last_error(), "empty path");
}

} // namespace
