// Many threads calling every function at once against one cache directory:
// purging scans race with validations of the same files and with files and
// directories being created and removed. Every call's result is checked on
// the spot, and so is the calling thread's last-error text, which must always
// describe that thread's own last call. The rounds are counted, not timed;
// KTCACHE_STRESS_ROUNDS scales them (slow checkers such as valgrind use fewer).
#include "support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "json_document.h"

namespace {

int rounds() {
    const char *text = std::getenv("KTCACHE_STRESS_ROUNDS");
    const int n = text != nullptr ? std::atoi(text) : 0;
    return n > 0 ? n : 150;
}

// Collects failures from every thread; the first few are kept for the report.
class Failures {
  public:
    void add(const std::string &what) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (++count_ <= 10) first_ += what + "\n";
    }
    int count() const { return count_; }
    const std::string &first() const { return first_; }

  private:
    std::mutex mutex_;
    int count_ = 0;
    std::string first_;
};

// One thread's view of its own last-error text: what the last call that may
// write it should have left there, checked after every call of any kind.
class LastErrorWatch {
  public:
    explicit LastErrorWatch(Failures &failures) : failures_(failures) {}

    // After a call that writes the text: it must be one of `allowed`.
    void wrote(const char *call, std::initializer_list<const char *> allowed) {
        expected_ = ktcache_last_error();
        for (const char *text : allowed)
            if (expected_ == text) return;
        failures_.add(std::string(call) + ": unexpected last-error \"" + expected_ + "\"");
    }
    // After a call that leaves the text alone: it must not have moved.
    void kept(const char *call) {
        if (expected_ != ktcache_last_error())
            failures_.add(std::string(call) + " changed the last-error text to \"" +
                          ktcache_last_error() + "\" from \"" + expected_ + "\"");
    }

  private:
    Failures &failures_;
    std::string expected_;
};

// A validation result and the message that must accompany it.
void check_validation(LastErrorWatch &watch, Failures &failures, const std::string &path,
                      int32_t result) {
    switch (result) {
    case -1: watch.wrote("validate -1", {"stat failed", "fopen failed"}); break;
    case 0:
        watch.wrote("validate 0",
                    {"not regular file", "file below minimum size", "unrecognized audio header"});
        break;
    default:
        if (result < 1 || result > 6) failures.add("validate " + path + " gave an odd code");
        watch.wrote("validate ok", {""});
        break;
    }
}

struct StableTrack {
    std::string name;
    ktcache_format format;
    size_t size;
};

class ConcurrentCache : public ::testing::Test {
  public:
    void SetUp() override {
        const ktcache_format formats[] = {KTCACHE_FORMAT_M4A, KTCACHE_FORMAT_MP3,
                                          KTCACHE_FORMAT_AAC, KTCACHE_FORMAT_FLAC,
                                          KTCACHE_FORMAT_OGG, KTCACHE_FORMAT_WAV};
        for (int i = 0; i < 6; ++i) {
            StableTrack t{"keep-" + std::to_string(i) + "." + ktcache_format_name(formats[i]),
                          formats[i], 1024 + 100 * static_cast<size_t>(i)};
            dir.track(t.name, t.format, t.size);
            stable.push_back(t);
        }
        dir.write(".part-0.m4a", "<html>", 4096); // hidden: never judged
        dir.subdir("covers");
    }

    // A purging scan: the report must be complete and consistent, list every
    // stable track once and nothing that can never be valid.
    void scan_and_check(LastErrorWatch &watch, bool purge) {
        char *report = ktcache_scan_dir_json(dir.path().c_str(), purge ? 1 : 0);
        watch.wrote("scan", {""});
        if (report == nullptr) {
            failures.add("scan gave no report");
            return;
        }
        rapidjson::Document doc;
        doc.Parse(report);
        ktcache_free(report);
        if (doc.HasParseError() || !doc.IsObject() || !doc["files"].IsArray()) {
            failures.add("scan report is not the expected JSON");
            return;
        }
        std::set<std::string> names;
        int64_t sum = 0;
        for (const auto &f : doc["files"].GetArray()) {
            const std::string name = f["name"].GetString();
            sum += f["bytes"].GetInt64();
            if (!names.insert(name).second) failures.add("listed twice: " + name);
            if (name.rfind("keep-", 0) != 0 && name.rfind("churn-ok-", 0) != 0)
                failures.add("listed a file that is never valid: " + name);
        }
        if (doc["validCount"].GetUint64() != names.size() || doc["totalBytes"].GetInt64() != sum)
            failures.add("counts disagree with the file list");
        if (!purge && doc["purgedCount"].GetUint64() != 0)
            failures.add("a report-only scan purged");
        for (const StableTrack &t : stable)
            if (names.count(t.name) == 0) failures.add("stable track missing: " + t.name);
    }

    void run_threads(std::initializer_list<void (ConcurrentCache::*)(int)> roles) {
        std::vector<std::thread> threads;
        int id = 0;
        for (auto role : roles) threads.emplace_back(role, this, id++);
        for (std::thread &t : threads) t.join();
    }

    // Creates and removes files and directories under the scans' feet. A
    // valid file appears whole (written under a hidden name, then renamed),
    // so no scan may purge it: its removal by this thread must succeed.
    void churn(int id) {
        const std::string tag = std::to_string(id);
        for (int i = 0; i < rounds(); ++i) {
            const std::string n = tag + "-" + std::to_string(i);
            dir.track(".tmp-" + n, KTCACHE_FORMAT_OGG, 1500);
            rename((dir / (".tmp-" + n)).c_str(), (dir / ("churn-ok-" + n + ".ogg")).c_str());
            dir.write("churn-page-" + n + ".mp3", "<!DOCTYPE html>", 2048);
            dir.track("churn-stub-" + n + ".flac", KTCACHE_FORMAT_FLAC, 100);
            const std::string sub = dir / ("churn-dir-" + n + ".m4a");
            mkdir(sub.c_str(), 0755);
            std::this_thread::yield();
            if (unlink((dir / ("churn-ok-" + n + ".ogg")).c_str()) != 0)
                failures.add("a valid file was taken away: churn-ok-" + n);
            if (rmdir(sub.c_str()) != 0) failures.add("a directory was taken away: " + sub);
            unlink((dir / ("churn-page-" + n + ".mp3")).c_str()); // may be purged already
            unlink((dir / ("churn-stub-" + n + ".flac")).c_str());
        }
    }

    void purge_scans(int) {
        LastErrorWatch watch(failures);
        for (int i = 0; i < rounds() / 3 + 1; ++i) scan_and_check(watch, true);
    }

    // Validates the stable tracks (always valid) and the churned names
    // (anything may happen, but result and message must agree).
    void validate(int id) {
        LastErrorWatch watch(failures);
        std::mt19937 rng(static_cast<unsigned>(id));
        for (int i = 0; i < rounds() * 4; ++i) {
            const StableTrack &t = stable[static_cast<size_t>(i) % stable.size()];
            const std::string path = dir / t.name;
            if (ktcache_validate_file(path.c_str(), 0) != t.format)
                failures.add("stable track did not validate: " + t.name);
            watch.wrote("validate stable", {""});

            const char *kinds[] = {"churn-ok-%d-%d.ogg", "churn-page-%d-%d.mp3",
                                   "churn-stub-%d-%d.flac", "churn-dir-%d-%d.m4a"};
            char name[64];
            std::snprintf(name, sizeof name, kinds[rng() % 4], static_cast<int>(rng() % 2),
                          static_cast<int>(rng() % static_cast<unsigned>(rounds())));
            const std::string churned = dir / name;
            check_validation(watch, failures, churned, ktcache_validate_file(churned.c_str(), 0));
        }
    }

    // Every other function, interleaved, each against its known answer; the
    // last-error text must survive all the calls that do not own it.
    void mix(int id) {
        LastErrorWatch watch(failures);
        std::mt19937 rng(static_cast<unsigned>(100 + id));
        const std::string header = kt::audio_header(KTCACHE_FORMAT_FLAC);
        for (int i = 0; i < rounds() * 4; ++i) {
            char text[KTCACHE_BYTES_TEXT_SIZE];
            switch (rng() % 9) {
            case 0:
                if (ktcache_validate_file(nullptr, 0) != -1) failures.add("null path");
                watch.wrote("validate null", {"empty path"});
                break;
            case 1:
                if (ktcache_scan_dir_json("", 1) != nullptr) failures.add("empty dir_path");
                watch.wrote("scan empty", {"empty dir_path"});
                break;
            case 2:
                if (ktcache_scan_dir_json((dir / "covers/none").c_str(), 1) != nullptr)
                    failures.add("missing directory");
                watch.wrote("scan missing", {"opendir failed"});
                break;
            case 3: scan_and_check(watch, false); break;
            case 4: {
                char *name = ktcache_safe_filename("https://h/a/Song%20%232.m4a?v=1");
                if (name == nullptr || std::strcmp(name, "Song #2.m4a") != 0)
                    failures.add("safe file name");
                ktcache_free(name);
                watch.kept("safe_filename");
                break;
            }
            case 5:
                if (ktcache_format_bytes(15369751, text, sizeof text) != 7 ||
                    std::strcmp(text, "14.7 MB") != 0)
                    failures.add("byte text");
                watch.kept("format_bytes");
                break;
            case 6:
                if (ktcache_has_valid_audio_magic(header.data(), header.size()) !=
                        KTCACHE_FORMAT_FLAC ||
                    std::strcmp(ktcache_format_name(KTCACHE_FORMAT_FLAC), "flac") != 0)
                    failures.add("header recognition");
                watch.kept("audio_magic");
                break;
            case 7:
                if (ktcache_selftest() != KTCACHE_SELFTEST_OK ||
                    ktcache_validate_http_status(204) != 0 ||
                    ktcache_validate_http_status(404) != -1)
                    failures.add("self-test or status");
                watch.kept("selftest");
                break;
            default:
                if (std::strcmp(ktcache_version(), "1.0.0") != 0 || ktcache_abi_version() != 1)
                    failures.add("version");
                watch.kept("version");
                break;
            }
        }
    }

    kt::TempDir dir;
    std::vector<StableTrack> stable;
    Failures failures;
};

TEST_F(ConcurrentCache, EveryFunctionAtOnceKeepsResultsAndLastErrorsStraight) {
    run_threads({&ConcurrentCache::churn, &ConcurrentCache::churn, &ConcurrentCache::purge_scans,
                 &ConcurrentCache::purge_scans, &ConcurrentCache::validate,
                 &ConcurrentCache::validate, &ConcurrentCache::mix, &ConcurrentCache::mix});
    EXPECT_EQ(failures.count(), 0) << failures.first();

    // What is left: the stable tracks, the hidden file and the directory.
    std::set<std::string> left;
    for (const std::string &name : kt::enumeration_order(dir.path())) left.insert(name);
    std::set<std::string> expected = {".part-0.m4a", "covers"};
    for (const StableTrack &t : stable) expected.insert(t.name);
    EXPECT_EQ(left, expected);
}

// The player downloads a track again to a hidden name and renames the
// complete file over the broken one, at a random moment of a purging scan.
// Whatever the moment, the new download survives: the purge deletes the
// broken file it judged, or nothing. KTCACHE_RACE_TRIALS sets the count.
TEST(PurgeRace, DownloadRenamedOverABrokenFileIsNeverDeleted) {
    const char *text = std::getenv("KTCACHE_RACE_TRIALS");
    const int trials = text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : 3000;
    kt::TempDir dir;
    for (int i = 0; i < 40; ++i) dir.track("t" + std::to_string(i) + ".ogg", KTCACHE_FORMAT_OGG);

    // How long one scan takes here, so that the rename lands anywhere in it.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) ktcache_free(ktcache_scan_dir_json(dir.path().c_str(), 0));
    const auto scan_time = (std::chrono::steady_clock::now() - start) / 20;

    std::mt19937 random(12345);
    int lost = 0, stray = 0;
    for (int trial = 0; trial < trials; ++trial) {
        dir.write("x.mp3", "<!DOCTYPE html>", 2048);
        dir.track(".x.mp3.part", KTCACHE_FORMAT_MP3, 4096);
        const auto delay = scan_time * std::uniform_real_distribution<double>(0, 1.2)(random);
        std::atomic<bool> go{false};
        std::thread downloader([&] {
            while (!go.load()) {}
            const auto until = std::chrono::steady_clock::now() + delay;
            while (std::chrono::steady_clock::now() < until) {}
            rename((dir / ".x.mp3.part").c_str(), (dir / "x.mp3").c_str());
        });
        go = true;
        ktcache_free(ktcache_scan_dir_json(dir.path().c_str(), 1));
        downloader.join();
        if (ktcache_validate_file((dir / "x.mp3").c_str(), 0) != KTCACHE_FORMAT_MP3) ++lost;
        const int entries = static_cast<int>(kt::enumeration_order(dir.path()).size());
        if (entries > 41) stray += entries - 41;
    }
    EXPECT_EQ(lost, 0) << "new downloads deleted in " << lost << " of " << trials << " trials";
    EXPECT_EQ(stray, 0) << "entries left behind by purges";
}

} // namespace
