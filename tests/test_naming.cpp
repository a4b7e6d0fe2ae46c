// Safe cache file names derived from download URLs.
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

struct NameCase {
    std::string url;
    std::string name;
};

// Printed by value, not from the object's raw bytes (see test_audio.cpp).
void PrintTo(const NameCase &c, std::ostream *out) { *out << ::testing::PrintToString(c.url); }

std::string safe_name(const std::string &url) {
    ktcache::unique_text name(ktcache_safe_filename(url.c_str()));
    return name ? std::string(name.get()) : std::string("<null>");
}

const NameCase kNameCases[] = {
    // Plain segments, query and fragment.
    {"https://cdn.example.com/music/u/all/Song%20%232.m4a?v=1", "Song #2.m4a"},
    {"dir/Track%201%20-%20Intro.mp3?v=1", "Track 1 - Intro.mp3"},
    {"a/b/c.m4a", "c.m4a"},
    {"a?b#c", "a"},
    {"a#b?c", "a"},
    {"x/?y", "x"},
    {"x//?y", "x"},
    {"x/y/?q=/z", "y"},
    {"x/y#frag/z", "y"},
    {"Song #2.m4a", "Song"},
    // Trailing slashes and nothing left.
    {"a/b/", "b"},
    {"a/b//", "b"},
    {"", "track.m4a"},
    {"/", "track.m4a"},
    {"//", "track.m4a"},
    {"?x", "track.m4a"},
    {"#x", "track.m4a"},
    {"/?x", "track.m4a"},
    // Scheme and host are not parsed.
    {"abc", "abc"},
    {"a\\b", "a_b"},
    {"https://h", "h"},
    {"https://h/", "h"},
    {"https://h:8080/", "h_8080"},
    {"http://", "http_"},
    {"https:", "https_"},
    // Escapes.
    {"a%2Fb", "a_b"},
    {"a%2fb", "a_b"},
    {"A%2fB%2FC", "A_B_C"},
    {"%41%42", "AB"},
    {"%4a", "J"},
    {"%4A", "J"},
    {"%25", "%"},
    {"%23", "#"},
    {"a%20b", "a b"},
    {"%", "%"},
    {"%4", "%4"},
    {"50%", "50%"},
    {"50%2", "50%2"},
    {"%zz", "%zz"},
    {"%4g", "%4g"},
    {"%g4", "%g4"},
    {"%%", "%%"},
    {"%%41", "%A"},
    {"x%4?1", "x%4"},
    {"%2541", "%41"},
    {"%25%32%46", "%2F"},
    // Unsafe bytes, decoded or literal.
    {"%7C", "_"},
    {"%5C", "_"},
    {"%7F", "_"},
    {"%3F", "_"},
    {"%3A", "_"},
    {"%22", "_"},
    {"%2A", "_"},
    {"%3C", "_"},
    {"%3E", "_"},
    {"%0D%0A", "__"},
    {"%00x", "_x"},
    {"a:b*c", "a_b_c"},
    {"a<b>c", "a_b_c"},
    {"a\tb", "a_b"},
    {"a\x7f"
     "b",
     "a_b"},
    {"a|b\"c", "a_b_c"},
    // Safe bytes pass.
    {"file+name", "file+name"},
    {"a+b=c;d[e]f~g", "a+b=c;d[e]f~g"},
    {"%C3%A9", "\xC3\xA9"},
    {"%c3%a9", "\xC3\xA9"},
    // Trimming.
    {"name. . ", "name"},
    {"a.", "a"},
    {"a..", "a"},
    {"a%20", "a"},
    {"a%2e%20", "a"},
    {"a .b", "a .b"},
    {" a", " a"},
    {".", "track.m4a"},
    {"..", "track.m4a"},
    {"...", "track.m4a"},
    {" ", "track.m4a"},
    {" . ", "track.m4a"},
    {"%20", "track.m4a"},
    {"%2e", "track.m4a"},
    {"%2e%2e", "track.m4a"},
    {"%2E%2E", "track.m4a"},
    {"a/.%20.", "track.m4a"},
    // Every byte outside a well-formed UTF-8 sequence becomes "_": no
    // overlong forms, no surrogates, nothing above U+10FFFF.
    {"https://old.example/music/Caf%E9%20del%20Mar.mp3", "Caf_ del Mar.mp3"},
    {"a%ff", "a_"},
    {"\x80\xFF", "__"},
    {"%ED%A0%80.mp3", "___.mp3"},
    {"%C0%AF.mp3", "__.mp3"},
    {"%F4%90%80%80", "____"},
    {"%E2%82.m4a", "__.m4a"},
    {"%F0%9F%8E%B5.mp3", "\xF0\x9F\x8E\xB5.mp3"},
    {"\xF0\x9F\x8E\xB5", "\xF0\x9F\x8E\xB5"},
    // A leading dot would hide the file from the scan.
    {".hidden.mp3", "_.hidden.mp3"},
    {".a", "_.a"},
    {"..a", "_..a"},
    {"%2Ea.ogg", "_.a.ogg"},
    {" .a", " .a"},
    // Windows device names, whatever their case and extension, get "_" after
    // the stem (the name up to its first ".", trailing spaces aside).
    {"CON", "CON_"},
    {"nul.txt", "nul_.txt"},
    {"COM1.m4a", "COM1_.m4a"},
    {"nul.tar.mp3", "nul_.tar.mp3"},
    {"Aux .flac", "Aux_ .flac"},
    {"COM%C2%B9.ogg", "COM\xC2\xB9_.ogg"},
    {"lpt%C2%B3", "lpt\xC2\xB3_"},
    {"PRN%20%20", "PRN_"},
    {"conin$.wav", "conin$_.wav"},
    {"CONOUT$", "CONOUT$_"},
    {"Lpt0.aac", "Lpt0_.aac"},
    {"Console.mp3", "Console.mp3"},
    {"COM10.mp3", "COM10.mp3"},
    {"NULL.mp3", "NULL.mp3"},
    {"COM.mp3", "COM.mp3"},
    {"COM%C2%B4.mp3", "COM\xC2\xB4.mp3"},
    {"nul%FF.mp3", "nul_.mp3"},
};

class SafeFilename : public ::testing::TestWithParam<NameCase> {};

TEST_P(SafeFilename, DerivesTheExpectedName) {
    EXPECT_EQ(safe_name(GetParam().url), GetParam().name) << "url: " << GetParam().url;
}

INSTANTIATE_TEST_SUITE_P(Urls, SafeFilename, ::testing::ValuesIn(kNameCases));

TEST(SafeFilenameLimits, NullGivesTheFallbackName) {
    ktcache::unique_text name(ktcache_safe_filename(nullptr));
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name.get(), "track.m4a");
}

// No common file system stores a name of more than 255 bytes. A longer one
// keeps its extension and its first characters, with a digest of the whole
// name between them, so that names sharing a long beginning stay apart.
TEST(SafeFilenameLimits, LongNamesAreShortenedToWhatFileSystemsStore) {
    const std::string a255(255, 'a'), a300(300, 'a');
    struct Case {
        std::string segment, name;
    };
    const std::string euro = "\xE2\x82\xAC"; // three bytes
    std::string euros;
    for (int i = 0; i < 100; ++i) euros += euro;
    const Case cases[] = {
        {a255, a255}, // fits: unchanged
        {a255 + ".m4a", std::string(242, 'a') + "~" + "DIGEST" + ".m4a"},
        {a300, std::string(246, 'a') + "~" + "DIGEST"}, // no extension
        {a300 + ".extension-of-17by", std::string(246, 'a') + "~" + "DIGEST"},
        {"." + a300, "_." + std::string(244, 'a') + "~" + "DIGEST"}, // the dot is the whole name
        {"." + std::string(253, 'a'), "_." + std::string(253, 'a')}, // 255 with its "_"
        {"." + std::string(254, 'a'), "_." + std::string(244, 'a') + "~" + "DIGEST"},
        {"CON." + std::string(251, 'a'), "CON_." + std::string(241, 'a') + "~" + "DIGEST"},
        {euros + ".flac", euros.substr(0, 240) + "~" + "DIGEST" + ".flac"}, // 241 would split
    };
    for (const Case &c : cases) {
        const std::string name = safe_name("https://h/" + c.segment + "?q");
        SCOPED_TRACE(c.segment.substr(0, 12) + "... of " + std::to_string(c.segment.size()));
        ASSERT_LE(name.size(), 255u);
        const size_t tilde = c.name.find("~DIGEST");
        if (tilde == std::string::npos) {
            EXPECT_EQ(name, c.name);
            continue;
        }
        ASSERT_EQ(name.size(), c.name.size() - 6 + 8);
        EXPECT_EQ(name.substr(0, tilde + 1), c.name.substr(0, tilde + 1));
        EXPECT_EQ(name.substr(tilde + 9), c.name.substr(tilde + 7));
        EXPECT_EQ(name.substr(tilde + 1, 8).find_first_not_of("0123456789abcdef"),
                  std::string::npos);
    }
    // The digest tells apart long names that differ only past the cut, and
    // is the same on every call.
    const std::string first = safe_name(a300 + "1.mp3"), second = safe_name(a300 + "2.mp3");
    EXPECT_NE(first, second);
    EXPECT_EQ(first, safe_name(a300 + "1.mp3"));
    EXPECT_EQ(safe_name(std::string(50000, '/') + "x"), "x");
}

TEST(SafeFilenameLimits, LeavesTheLastErrorTextAlone) {
    ASSERT_EQ(ktcache_validate_file("", 0), -1);
    ktcache_free(ktcache_safe_filename("a%2Fb"));
    EXPECT_STREQ(ktcache_last_error(), "empty path");
}

// Whatever bytes come in, the name is usable on common file systems.
TEST(SafeFilenameLimits, RandomInputsAlwaysGiveSafeNames) {
    std::mt19937 rng(20261209);
    const char alphabet[] = "ab%2F/.?# \\:\x01\x7f\xff"
                            "0123456789AaEeFf";
    for (int i = 0; i < 20000; ++i) {
        std::string url;
        size_t length = rng() % 24;
        for (size_t k = 0; k < length; ++k) url += alphabet[rng() % (sizeof alphabet - 1)];
        const std::string name = safe_name(url);
        ASSERT_FALSE(name.empty()) << url;
        ASSERT_NE(name.back(), ' ') << url;
        ASSERT_NE(name.back(), '.') << url;
        for (unsigned char c : name) {
            ASSERT_FALSE(c < 0x20 || c == 0x7F ||
                         std::string("\"*/:<>?\\|").find(static_cast<char>(c)) != std::string::npos)
                << "url: " << url << " name: " << name;
        }
        if (name != "track.m4a") {
            // A leading dot or a device name costs one byte.
            ASSERT_LE(name.size(), url.size() + 1) << url;
        }
    }
}

// A host saves each download under the name it is given; every such file,
// whatever its URL, must come back from the scan under that same name.
TEST(SafeFilenameOnDisk, HostileUrlsGiveNamesThatTheScanLists) {
    const std::string long_tail(300, 'x');
    const char *const urls[] = {
        "https://old.example/music/Caf%E9%20del%20Mar.mp3",
        "https://h/%ED%A0%80%C0%AF%FF.m4a",
        "https://h/%F0%9F%8E%B5%F0%9F%8E.ogg",
        "https://h/.hidden.mp3",
        "https://h/..double.flac",
        "https://h/NUL.mp3",
        "https://h/com1.m4a",
        "https://h/AUX.flac",
        "https://h/nul.tar.mp3",
        "https://h/Con%20%20.wav",
        "https://h/LPT%C2%B2.ogg",
        "https://h/a%01b%0D%0Ac%7F.mp3",
    };
    std::vector<std::string> names;
    for (const char *url : urls) names.push_back(safe_name(url));
    names.push_back(safe_name("https://h/." + long_tail));
    names.push_back(safe_name("https://h/" + long_tail + "%FF%E9.m4a"));

    kt::TempDir dir;
    for (const std::string &name : names) dir.track(name, KTCACHE_FORMAT_MP3);
    std::vector<std::string> on_disk = kt::enumeration_order(dir.path()), made = names;
    std::sort(on_disk.begin(), on_disk.end());
    std::sort(made.begin(), made.end());
    ASSERT_EQ(on_disk, made) << "each name is one file of that name";

    std::vector<kt::Listed> listed;
    for (const std::string &name : kt::enumeration_order(dir.path()))
        listed.push_back({name, 2048, "mp3"});
    EXPECT_EQ(kt::scan(dir.path(), false), kt::expected_report(listed, 0));
}

} // namespace
