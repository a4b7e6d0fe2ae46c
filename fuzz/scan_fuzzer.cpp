// The directory scan over a fuzzed cache: names with arbitrary bytes, sizes
// and first bytes, subdirectories, FIFOs and symbolic links (to files, to
// directories, to each other, dangling). Each input is scanned three times:
// report only, purging, report only again. Every report that is not null
// parses as JSON, its counts agree with its file list, and the list holds
// exactly the valid files; a null report happens only for a valid file whose
// name is not UTF-8. The purge removes only entries that validation rejects,
// removes every rejected plain file, and counts what it removed.
#include "ktcache.h"
#include "json_document.h"
#include "oracles.h"
#include "sample_headers.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <filesystem>
#include <map>
#include <set>
#include <vector>

namespace {

std::string g_root;

enum class Kind { File, Directory, Fifo, Link };

// One entry as the fuzzer made it: enough to work out what a validation of
// it must say without asking the library.
struct Entry {
    Kind kind;
    std::string data;   // a file's content
    std::string target; // a link's target name
};

struct Judgement {
    bool regular = false; // resolves to a regular file
    bool valid = false;
    int64_t bytes = 0;
    int format = 0;
};

using Cache = std::map<std::string, Entry>;

// Follows links inside the cache the way stat() does.
Judgement judge(const Cache &cache, const std::string &name) {
    std::string current = name;
    for (int hops = 0; hops < 40; ++hops) {
        auto it = cache.find(current);
        if (it == cache.end()) return {};
        const Entry &e = it->second;
        if (e.kind == Kind::Link) {
            current = e.target;
            continue;
        }
        Judgement j;
        if (e.kind != Kind::File) return j;
        j.regular = true;
        j.bytes = static_cast<int64_t>(e.data.size());
        const auto *p = reinterpret_cast<const uint8_t *>(e.data.data());
        j.format = oracle::audio_format(p, e.data.size() < 64 ? e.data.size() : 64);
        j.valid = j.bytes >= KTCACHE_DEFAULT_MIN_SIZE && j.format != 0;
        return j;
    }
    return {}; // a loop: stat() fails
}

bool is_hidden(const std::string &name) { return name[0] == '.'; }

// A name a killed purge may have left: a purge judges such entries too,
// deletes the broken ones and gives a valid one of the form
// ".ktcache-purge-<16 hex digits>=<own name>" its own name back.
constexpr char kLeftoverPrefix[] = ".ktcache-purge-";
bool is_leftover(const std::string &name) { return name.rfind(kLeftoverPrefix, 0) == 0; }
std::string own_name_of(const std::string &name) {
    const size_t bits = sizeof kLeftoverPrefix - 1, mark = bits + 16;
    if (!is_leftover(name) || name.size() <= mark + 1 || name[mark] != '=') return "";
    for (size_t i = bits; i < mark; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(name[i])) || std::isupper(name[i])) return "";
    return name.substr(mark + 1);
}

std::string path_of(const std::string &name) { return g_root + "/" + name; }

void clear_root() {
    std::error_code ignored;
    for (const auto &entry : std::filesystem::directory_iterator(g_root, ignored))
        std::filesystem::remove_all(entry.path(), ignored);
}

// Names as readdir gives them, without "." and "..".
std::vector<std::string> listing() {
    std::vector<std::string> names;
    if (DIR *d = opendir(g_root.c_str())) {
        while (const dirent *e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.emplace_back(e->d_name);
        closedir(d);
    }
    return names;
}

const size_t kSizes[] = {0, 11, 12, 64, 1023, 1024, 1025, 4096};

std::string make_content(FuzzedDataProvider &in) {
    std::string data;
    if (in.ConsumeBool()) {
        // A sample header, whole or cut short.
        const samples::SampleHeader &sample =
            samples::kSampleHeaders[in.ConsumeIntegralInRange<size_t>(
                0, samples::kSampleHeaderCount - 1)];
        data.assign(reinterpret_cast<const char *>(sample.bytes),
                    in.ConsumeIntegralInRange<size_t>(0, sizeof sample.bytes));
    } else {
        data = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 16));
    }
    const size_t size = in.ConsumeBool() ? kSizes[in.ConsumeIntegralInRange<size_t>(0, 7)]
                                         : in.ConsumeIntegralInRange<size_t>(0, 3000);
    data.resize(size, '\0');
    return data;
}

// Lays out the fuzzed cache; entries whose names cannot be made are skipped.
Cache build_cache(FuzzedDataProvider &in) {
    Cache cache;
    std::vector<std::string> names;
    const size_t count = in.ConsumeIntegralInRange<size_t>(0, 12);
    for (size_t i = 0; i < count && in.remaining_bytes() > 0; ++i) {
        std::string name = in.ConsumeRandomLengthString(40);
        for (char &c : name) {
            if (c == '/') c = '\\';
            if (c == '\0') c = '\x01';
        }
        if (name.empty() || name == "." || name == ".." || cache.count(name)) continue;

        Entry e;
        const std::string path = path_of(name);
        bool made = false;
        switch (in.ConsumeIntegralInRange<int>(0, 5)) {
        case 0:
        case 1: {
            e.kind = Kind::File;
            e.data = make_content(in);
            if (FILE *f = std::fopen(path.c_str(), "wb")) {
                made = std::fwrite(e.data.data(), 1, e.data.size(), f) == e.data.size();
                made = std::fclose(f) == 0 && made;
            }
            break;
        }
        case 2:
            e.kind = Kind::Directory;
            made = mkdir(path.c_str(), 0755) == 0;
            if (made && in.ConsumeBool()) { // a track inside is never looked at
                if (FILE *f = std::fopen((path + "/inner.ogg").c_str(), "wb")) {
                    std::fputs("OggS", f);
                    std::fclose(f);
                }
            }
            break;
        case 3:
            e.kind = Kind::Fifo;
            made = mkfifo(path.c_str(), 0644) == 0;
            break;
        default:
            e.kind = Kind::Link;
            e.target = names.empty() || in.ConsumeBool()
                           ? in.ConsumeRandomLengthString(8) + "-missing"
                           : names[in.ConsumeIntegralInRange<size_t>(0, names.size() - 1)];
            if (e.target.find('/') != std::string::npos || e.target.find('\0') != std::string::npos)
                e.target = "missing";
            made = symlink(e.target.c_str(), path.c_str()) == 0;
            break;
        }
        if (made) {
            cache[name] = e;
            names.push_back(name);
        } else {
            std::filesystem::remove_all(path);
        }
    }
    return cache;
}

std::string scan(bool purge) {
    char *report = ktcache_scan_dir_json(g_root.c_str(), purge ? 1 : 0);
    FUZZ_CHECK(ktcache_last_error()[0] == '\0', "last error \"%s\" after a scan",
               ktcache_last_error());
    std::string text = report != nullptr ? report : "";
    FUZZ_CHECK(report == nullptr || !text.empty(), "an empty report");
    ktcache_free(report);
    return text;
}

// Checks one report against the valid entries; "" stands for null.
void check_report(const std::string &text, const Cache &cache,
                  const std::vector<std::string> &order_before, uint64_t purged) {
    std::vector<std::string> expected; // valid entries in enumeration order
    bool any_bad_name = false;
    for (const std::string &name : order_before) {
        if (is_hidden(name) || !judge(cache, name).valid) continue;
        expected.push_back(name);
        if (!oracle::is_utf8(name)) any_bad_name = true;
    }
    if (text.empty()) {
        FUZZ_CHECK(any_bad_name, "null report although every valid name is UTF-8");
        return;
    }
    FUZZ_CHECK(!any_bad_name, "a report listing a name that is not UTF-8");

    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseValidateEncodingFlag>(text.c_str());
    FUZZ_CHECK(!doc.HasParseError() && doc.IsObject(), "not JSON: %s", text.c_str());
    FUZZ_CHECK(doc.MemberCount() == 4 && doc.HasMember("validCount") &&
                   doc.HasMember("purgedCount") && doc.HasMember("totalBytes") &&
                   doc.HasMember("files") && doc["files"].IsArray() &&
                   doc["validCount"].IsUint64() && doc["purgedCount"].IsUint64() &&
                   doc["totalBytes"].IsInt64(),
               "members: %s", text.c_str());
    const auto &files = doc["files"].GetArray();
    FUZZ_CHECK(doc["validCount"].GetUint64() == files.Size(), "validCount: %s", text.c_str());
    FUZZ_CHECK(doc["purgedCount"].GetUint64() == purged, "purgedCount %llu, removed %llu",
               static_cast<unsigned long long>(doc["purgedCount"].GetUint64()),
               static_cast<unsigned long long>(purged));
    FUZZ_CHECK(files.Size() == expected.size(), "listed %u of %zu valid files: %s", files.Size(),
               expected.size(), text.c_str());
    int64_t sum = 0;
    for (rapidjson::SizeType i = 0; i < files.Size(); ++i) {
        const auto &f = files[i];
        FUZZ_CHECK(f.IsObject() && f.MemberCount() == 3 && f.HasMember("name") &&
                       f["name"].IsString() && f.HasMember("bytes") && f["bytes"].IsInt64() &&
                       f.HasMember("format") && f["format"].IsString(),
                   "file object: %s", text.c_str());
        const std::string name(f["name"].GetString(), f["name"].GetStringLength());
        FUZZ_CHECK(name == expected[i], "entry %u is not the next valid file in order", i);
        const Judgement j = judge(cache, name);
        FUZZ_CHECK(f["bytes"].GetInt64() == j.bytes, "bytes of an entry");
        FUZZ_CHECK(std::strcmp(f["format"].GetString(), oracle::format_name(j.format)) == 0,
                   "format of an entry");
        sum += j.bytes;
    }
    FUZZ_CHECK(doc["totalBytes"].GetInt64() == sum, "totalBytes: %s", text.c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/ktcache-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    g_root = pattern;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(g_root, ignored);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    clear_root();
    const Cache cache = build_cache(in);

    // Report only: nothing changes.
    const std::vector<std::string> before = listing();
    check_report(scan(false), cache, before, 0);
    FUZZ_CHECK(listing() == before, "a report-only scan changed the directory");

    // Purge: only rejected entries go, every rejected plain file goes, and
    // a valid leftover whose own name is free takes that name.
    const std::string purged_report = scan(true);
    const std::vector<std::string> after = listing();
    const std::set<std::string> left(after.begin(), after.end());
    std::set<std::string> taken(before.begin(), before.end());
    Cache restored = cache;
    uint64_t removed = 0;
    for (const std::string &name : before) {
        const bool gone = left.count(name) == 0;
        const Entry &e = cache.at(name);
        const Judgement j = judge(cache, name);
        const bool looked_at = !is_hidden(name) || is_leftover(name);
        const bool rejected = looked_at && j.regular && !j.valid;
        const std::string own = own_name_of(name);
        const bool restorable = j.valid && !own.empty() && own[0] != '.' && taken.count(own) == 0;
        FUZZ_CHECK(!gone || rejected || restorable,
                   "purged an entry that validation accepts or never sees");
        FUZZ_CHECK(gone || !rejected || e.kind == Kind::Link, "left a rejected file in place");
        if (restorable) {
            FUZZ_CHECK(gone && left.count(own) != 0, "a valid leftover did not get its name back");
            taken.insert(own);
            restored[own] = e;
        }
        removed += gone && !restorable ? 1 : 0;
    }
    check_report(purged_report, cache, before, removed);

    // Report only again: the same valid files, nothing left to purge.
    const std::vector<std::string> final_order = listing();
    check_report(scan(false), restored, final_order, 0);
    return 0;
}
