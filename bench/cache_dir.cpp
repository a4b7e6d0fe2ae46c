#include "cache_dir.h"

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace bench {
namespace {

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "ktcache_bench: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(2);
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

// Writes the entries of a generated cache into the directory `dir`.
class DirectoryWriter final : public CacheWriter {
  public:
    explicit DirectoryWriter(std::string dir) : dir_(std::move(dir)) {}
    void file(const std::string &name, const std::string &content) override {
        write_file(dir_ + "/" + name, content);
    }
    void folder(const std::string &name) override {
        const std::string path = dir_ + "/" + name;
        if (mkdir(path.c_str(), 0755) != 0) fail("cannot create " + path);
    }

  private:
    std::string dir_;
};

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
    DirectoryWriter writer(dir);
    return generate_cache(kBenchMix, files, &writer);
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
