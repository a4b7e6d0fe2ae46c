// HTTP status check, byte-count texts and the self-test.
#include "support.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

namespace {

struct BytesCase {
    int64_t count;
    const char *text;
};

const BytesCase kBytesCases[] = {
    {INT64_MIN, "0 B"},
    {-1, "0 B"},
    {0, "0 B"},
    {1023, "1023 B"},
    {1024, "1.0 KB"},
    {1075, "1.0 KB"},
    {1076, "1.1 KB"},
    {1280, "1.2 KB"}, // exactly 1.25: the half goes to the even digit
    {1536, "1.5 KB"},
    {1792, "1.8 KB"}, // exactly 1.75
    {10189, "10.0 KB"},
    {1048524, "1023.9 KB"},
    {1048525, "1024.0 KB"}, // the band is chosen before rounding
    {1048575, "1024.0 KB"},
    {1048576, "1.0 MB"},
    {15369751, "14.7 MB"},
    {1073689395, "1023.9 MB"},
    {1073689396, "1024.0 MB"},
    {1073741823, "1024.0 MB"},
    {1073741824, "1.00 GB"},
    {1207959552, "1.12 GB"}, // exactly 1.125
    {1476395008, "1.38 GB"}, // exactly 1.375
    {INT64_C(1099511627776), "1024.00 GB"},
    {INT64_MAX, "8589934592.00 GB"},
};

class ByteText : public ::testing::TestWithParam<BytesCase> {};

TEST_P(ByteText, ReadsAsExpectedAndReportsItsLength) {
    const BytesCase &c = GetParam();
    char buf[32];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(ktcache_format_bytes(c.count, buf, sizeof buf), static_cast<int32_t>(strlen(c.text)));
    EXPECT_STREQ(buf, c.text) << c.count;

    // The documented capacity always suffices; one byte less than needed never does.
    char exact[KTCACHE_BYTES_TEXT_SIZE];
    EXPECT_EQ(ktcache_format_bytes(c.count, exact, strlen(c.text) + 1),
              static_cast<int32_t>(strlen(c.text)));
    EXPECT_EQ(ktcache_format_bytes(c.count, exact, strlen(c.text)), -1);
    EXPECT_EQ(strlen(exact), strlen(c.text) - 1);
    EXPECT_EQ(std::string(exact), std::string(c.text).substr(0, strlen(c.text) - 1));
}

INSTANTIATE_TEST_SUITE_P(Counts, ByteText, ::testing::ValuesIn(kBytesCases));

TEST(ByteTextBuffers, ShortBuffersAreCutAndTerminated) {
    struct {
        int64_t count;
        size_t size;
        int32_t result;
        const char *text;
    } const cases[] = {
        {1536, 7, 6, "1.5 KB"}, {1536, 6, -1, "1.5 K"}, {1536, 4, -1, "1.5"},
        {1536, 1, -1, ""},      {-5, 4, 3, "0 B"},      {-5, 3, -1, "0 "},
    };
    for (const auto &c : cases) {
        char buf[16];
        std::memset(buf, '#', sizeof buf);
        EXPECT_EQ(ktcache_format_bytes(c.count, buf, c.size), c.result) << c.count << "/" << c.size;
        EXPECT_STREQ(buf, c.text) << c.count << "/" << c.size;
        EXPECT_EQ(buf[c.size], '#') << "wrote past the capacity";
    }
}

TEST(ByteTextBuffers, NothingIsWrittenWithoutRoom) {
    char buf[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(ktcache_format_bytes(1536, buf, 0), -1);
    EXPECT_EQ(buf[0], '#');
    for (size_t size : {size_t{0}, size_t{1}, size_t{32}, SIZE_MAX})
        EXPECT_EQ(ktcache_format_bytes(1536, nullptr, size), -1);
}

TEST(ByteTextBuffers, HugeCapacityBehavesLikeAnAmpleOne) {
    char buf[32];
    EXPECT_EQ(ktcache_format_bytes(1048576, buf, SIZE_MAX), 6);
    EXPECT_STREQ(buf, "1.0 MB");
}

TEST(HttpStatus, OnlyTwoHundredsAreSuccess) {
    for (int32_t s : {200, 204, 226, 299}) EXPECT_EQ(ktcache_validate_http_status(s), 0) << s;
    for (int32_t s : {199, 300, 304, 404, 500, 0, -1, -200, INT_MIN, INT_MAX, INT_MIN + 200})
        EXPECT_EQ(ktcache_validate_http_status(s), -1) << s;
}

TEST(SelfTest, PassesAndKeepsTheLastErrorText) {
    EXPECT_EQ(ktcache_selftest(), KTCACHE_SELFTEST_OK);
    ASSERT_EQ(ktcache_validate_file("/nonexistent/ktcache", 0), -1);
    EXPECT_EQ(ktcache_selftest(), KTCACHE_SELFTEST_OK);
    EXPECT_STREQ(ktcache_last_error(), "stat failed");
}

} // namespace
