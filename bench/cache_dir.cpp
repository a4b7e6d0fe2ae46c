#include "cache_dir.h"

#include "sample_headers.h"

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>

namespace bench {
namespace {

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "ktcache_bench: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(2);
}

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

void write_file(const std::string &path, const std::string &content) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) fail("cannot create " + path);
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail("cannot write " + path);
        done += static_cast<size_t>(n);
    }
    if (close(fd) != 0) fail("cannot close " + path);
}

// ---------------------------------------------------------------------------
// The temporary root and its removal
// ---------------------------------------------------------------------------

constexpr char kDeepPath[] =
    "home/listener/.local/share/com.kelvane.tunes/app_data/profiles/default/storage/offline/v1/"
    "media";

// Everything the signal handler needs is prepared before it is installed:
// it only forks and runs rm, both safe inside a handler.
char g_root[4096];
char *g_rm_argv[] = {const_cast<char *>("rm"), const_cast<char *>("-rf"), const_cast<char *>("--"),
                     g_root, nullptr};

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
    if (std::remove(path) != 0) std::fprintf(stderr, "ktcache_bench: cannot remove %s\n", path);
    return 0;
}

void remove_root() {
    if (g_root[0] == '\0') return;
    std::fprintf(stderr, "removing %s\n", g_root);
    const auto start = std::chrono::steady_clock::now();
    nftw(g_root, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::fprintf(stderr, "removed %s in %.1f s\n", g_root, took.count());
}

void remove_root_on_signal(int signal_number) {
    pid_t child = fork();
    if (child == 0) {
        execv("/bin/rm", g_rm_argv);
        _exit(127);
    }
    if (child > 0) {
        int status;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    }
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigaction(signal_number, &dfl, nullptr);
    raise(signal_number);
}

const std::string &deep_directory() {
    static const std::string root = [] {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/ktcache-bench-XXXXXX";
        if (pattern.size() >= sizeof g_root) {
            errno = ENAMETOOLONG;
            fail("temporary directory");
        }
        if (mkdtemp(pattern.data()) == nullptr) fail("cannot create " + pattern);
        std::memcpy(g_root, pattern.c_str(), pattern.size() + 1);
        std::atexit(remove_root);
        struct sigaction action {};
        action.sa_handler = remove_root_on_signal;
        sigemptyset(&action.sa_mask);
        for (int signal_number : {SIGINT, SIGTERM, SIGHUP})
            sigaction(signal_number, &action, nullptr);

        std::string deep = pattern;
        const char *component = kDeepPath;
        while (*component != '\0') {
            const char *slash = std::strchr(component, '/');
            size_t length =
                slash != nullptr ? static_cast<size_t>(slash - component) : std::strlen(component);
            deep += '/';
            deep.append(component, length);
            if (mkdir(deep.c_str(), 0755) != 0) fail("cannot create " + deep);
            component += length + (slash != nullptr ? 1 : 0);
        }
        return deep;
    }();
    return root;
}

} // namespace

const char *deep_path_components() { return kDeepPath; }

CacheContents fill_cache(const std::string &dir, size_t files) {
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
        const TrackKind &kind = samples::kSampleHeaders[uniform(0, kTrackKindCount - 1)];
        const size_t roll = uniform(0, 99);
        if (roll < 84) { // a complete download
            const size_t size = uniform(1024, 4096);
            write_file(dir + "/" + track_name(i, kind.extension), track_content(kind, size));
            ++contents.valid;
            contents.valid_bytes += static_cast<int64_t>(size);
        } else if (roll < 89) { // the CDN's error page, saved as the track
            write_file(dir + "/" + track_name(i, kind.extension),
                       repeated(kHtmlBody, uniform(1200, 4000)));
            ++contents.html;
        } else if (roll < 93) { // an API error body; the longer ones pass the size test
            write_file(dir + "/" + track_name(i, kind.extension),
                       repeated(kJsonBody, uniform(150, 2000)));
            ++contents.json;
        } else if (roll < 97) { // a download cut short
            write_file(dir + "/" + track_name(i, kind.extension),
                       track_content(kind, uniform(12, 1023)));
            ++contents.truncated;
        } else { // a download in progress
            write_file(dir + "/." + track_name(i, kind.extension) + ".part",
                       track_content(kind, uniform(512, 4096)));
            ++contents.hidden;
        }
        ++contents.files;
    }
    // A few folders a player keeps next to the tracks.
    const size_t folders = 4 + files / 10000;
    for (size_t i = 0; i < folders; ++i) {
        static const char *const kFolders[] = {"covers", "lyrics", "tmp", "Playlists.m4a"};
        std::string name = kFolders[i % 4];
        if (i >= 4) name += "-" + std::to_string(i);
        if (mkdir((dir + "/" + name).c_str(), 0755) != 0) fail("cannot create " + dir + "/" + name);
        ++contents.subdirectories;
    }
    return contents;
}

const BenchCache &bench_cache(size_t files) {
    static std::mutex mutex;
    static std::map<size_t, std::unique_ptr<BenchCache>> caches;
    std::lock_guard<std::mutex> lock(mutex);
    std::unique_ptr<BenchCache> &cache = caches[files];
    if (!cache) {
        cache = std::make_unique<BenchCache>();
        cache->path = deep_directory() + "/cache-" + std::to_string(files);
        if (mkdir(cache->path.c_str(), 0755) != 0) fail("cannot create " + cache->path);
        const auto start = std::chrono::steady_clock::now();
        cache->contents = fill_cache(cache->path, files);
        // Write the new files back now, so that the kernel's writeback does
        // not compete with the measurements; their pages stay cached.
        int fd = open(cache->path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0 || syncfs(fd) != 0) fail("cannot flush " + cache->path);
        close(fd);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        std::fprintf(stderr, "generated and flushed %s in %.1f s\n", cache->path.c_str(),
                     took.count());
    }
    return *cache;
}

} // namespace bench
