#include "support.h"

#include "sample_headers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <direct.h>
#include <windows.h>
#include <io.h>
#include <process.h>
#else
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <utmp.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace kt {

std::string audio_header(ktcache_format format) {
    const samples::SampleHeader &sample = samples::sample_header(format);
    return std::string(reinterpret_cast<const char *>(sample.bytes), sizeof sample.bytes);
}

#ifdef _WIN32

// Test names are UTF-8, and the tests make their files by the names they
// mean, as a Unicode host does: through the wide calls.
std::wstring utf16(const std::string &utf8) {
    std::wstring wide(utf8.size(), L'\0');
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                      &wide[0], static_cast<int>(wide.size()));
    wide.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return wide;
}

std::string utf8(const std::wstring &utf16) {
    std::string text(3 * utf16.size(), '\0');
    const int n = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()),
                                      &text[0], static_cast<int>(text.size()), nullptr, nullptr);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return text;
}

namespace {

int make_directory(const std::string &path) { return _wmkdir(utf16(path).c_str()); }

// Removes a directory and everything below it. The tests make no links
// through Windows, and remove the links they make on the Linux side
// themselves (Wine would delete a link's target here), so nothing here
// leads outside it.
bool remove_tree(const std::wstring &path) {
    bool ok = true;
    if (_WDIR *d = _wopendir(path.c_str())) {
        while (const _wdirent *e = _wreaddir(d)) {
            if (std::wcscmp(e->d_name, L".") == 0 || std::wcscmp(e->d_name, L"..") == 0) continue;
            const std::wstring entry = path + L"/" + e->d_name;
            struct _stat64 st;
            if (_wstat64(entry.c_str(), &st) == 0 && (st.st_mode & _S_IFDIR)) {
                ok = remove_tree(entry) && ok;
            } else {
                _wchmod(entry.c_str(), _S_IREAD | _S_IWRITE); // a test may have made it read-only
                ok = _wunlink(entry.c_str()) == 0 && ok;
            }
        }
        _wclosedir(d);
    }
    return _wrmdir(path.c_str()) == 0 && ok;
}

FILE *open_file(const std::string &path, const char *mode) {
    return _wfopen(utf16(path).c_str(), utf16(mode).c_str());
}

} // namespace

TempDir::TempDir() {
    static std::atomic<unsigned> serial{0};
    const char *base = std::getenv("TEMP");
    if (base == nullptr || *base == '\0') base = std::getenv("TMP");
    const std::string prefix = std::string(base && *base ? base : ".") + "/ktcache-test-" +
                               std::to_string(_getpid()) + "-";
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string candidate = prefix + std::to_string(serial++);
        if (_mkdir(candidate.c_str()) == 0) {
            path_ = candidate;
            return;
        }
        if (errno != EEXIST) break;
    }
    throw std::runtime_error("cannot create a directory under " + prefix);
}

TempDir::~TempDir() {
    if (remove_tree(utf16(path_))) return;
    // Names that the Linux side made and Windows paths cannot reach (device
    // names, trailing dots and spaces) are removed there.
    try {
        if (is_wine() && run_unix_shell("rm -rf " + unix_path(path_)) == 0) return;
    } catch (const std::exception &) {}
    std::fprintf(stderr, "could not remove %s\n", path_.c_str());
}

namespace {

// A function that Wine's kernel32 adds, or null elsewhere.
template <typename Function> Function wine_function(const char *name) {
    const FARPROC found = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name);
    Function function = nullptr;
    static_assert(sizeof function == sizeof found, "function pointers differ in size");
    std::memcpy(&function, &found, sizeof function);
    return function;
}

// Single quotes for the shell, whatever the text holds.
std::string shell_quoted(const std::string &text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

} // namespace

bool is_wine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

namespace {

std::string unquoted_unix_path(const std::string &path) {
    using UnixFileName = char *(CDECL *)(const WCHAR *);
    const auto convert = wine_function<UnixFileName>("wine_get_unix_file_name");
    char *name = convert != nullptr ? convert(utf16(path).c_str()) : nullptr;
    if (name == nullptr) throw std::runtime_error("no Linux path for " + path);
    const std::string unix_name = name;
    HeapFree(GetProcessHeap(), 0, name);
    return unix_name;
}

} // namespace

std::string unix_path(const std::string &path) { return shell_quoted(unquoted_unix_path(path)); }

std::string unix_path(const std::string &dir, const std::string &name) {
    return shell_quoted(unquoted_unix_path(dir) + "/" + name);
}

// The script runs in a subshell; its status is written to a file of its own
// as its last act, since Wine gives no process handle to wait on for a
// native program.
UnixShell::UnixShell(const std::string &script) {
    using DosFileName = WCHAR *(CDECL *)(const char *);
    const auto convert = wine_function<DosFileName>("wine_get_dos_file_name");
    WCHAR *shell = convert != nullptr ? convert("/bin/sh") : nullptr;
    if (shell == nullptr) throw std::runtime_error("no /bin/sh: not under Wine");
    const std::string status = unix_path(work_ / "status");
    const std::string run = "PATH=/usr/bin:/bin; export PATH\n(\n" + script + "\n)\necho $? > " +
                            status + ".new && mv " + status + ".new " + status + "\n";
    work_.write("run.sh", run, run.size());
    std::wstring command = L"sh \"" + utf16(unquoted_unix_path(work_ / "run.sh")) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(shell, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                                        nullptr, &startup, &process);
    HeapFree(GetProcessHeap(), 0, shell);
    if (!started) throw std::runtime_error("cannot start /bin/sh");
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

bool UnixShell::finished() const { return work_.exists("status"); }

int UnixShell::wait() const {
    for (int waited = 0; !finished(); ++waited) {
        if (waited == 60000) return -1;
        Sleep(1);
    }
    FILE *f = open_file(work_ / "status", "rb");
    int status = -1;
    if (f != nullptr) {
        if (std::fscanf(f, "%d", &status) != 1) status = -1;
        std::fclose(f);
    }
    return status;
}

int run_unix_shell(const std::string &script) { return UnixShell(script).wait(); }

#else

namespace {

int make_directory(const std::string &path) { return mkdir(path.c_str(), 0755); }

FILE *open_file(const std::string &path, const char *mode) {
    return std::fopen(path.c_str(), mode);
}

} // namespace

TempDir::TempDir() {
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/ktcache-test-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
    chmod(path_.c_str(), 0755); // readable by the unprivileged user of some tests
}

TempDir::~TempDir() {
    // Restore permissions that a test may have taken away, then remove.
    std::string cmd = "chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", path_.c_str());
}

#endif

std::string TempDir::write(const std::string &name, const std::string &header, size_t size) const {
    std::string content = header;
    if (content.size() < size) content.resize(size, 'x');
    content.resize(size);
    std::string full = *this / name;
    FILE *f = open_file(full, "wb");
    if (f == nullptr) throw std::runtime_error("cannot create " + full);
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
    return full;
}

std::string TempDir::track(const std::string &name, ktcache_format format, size_t size) const {
    return write(name, audio_header(format), size);
}

std::string TempDir::sparse(const std::string &name, const std::string &header,
                            int64_t size) const {
    const std::string full = write(name, header, header.size());
#ifdef _WIN32
    const int fd = _wopen(utf16(full).c_str(), _O_WRONLY | _O_BINARY);
    const bool sized = fd >= 0 && _chsize_s(fd, size) == 0;
    if (fd >= 0) _close(fd);
#else
    const bool sized = truncate(full.c_str(), static_cast<off_t>(size)) == 0;
#endif
    if (!sized) throw std::runtime_error("cannot extend " + full);
    return full;
}

std::string TempDir::subdir(const std::string &name) const {
    std::string full = *this / name;
    if (make_directory(full) != 0) throw std::runtime_error("mkdir " + full);
    return full;
}

bool TempDir::exists(const std::string &name) const {
#ifdef _WIN32
    struct _stat64 st;
    return _wstat64(utf16(*this / name).c_str(), &st) == 0;
#else
    struct stat st;
    return lstat((*this / name).c_str(), &st) == 0; // a dangling link exists too
#endif
}

std::vector<std::string> enumeration_order(const std::string &dir) {
    std::vector<std::string> names;
#ifdef _WIN32
    if (_WDIR *d = _wopendir(utf16(dir).c_str())) {
        while (const _wdirent *e = _wreaddir(d)) {
            if (std::wcscmp(e->d_name, L".") != 0 && std::wcscmp(e->d_name, L"..") != 0)
                names.push_back(utf8(e->d_name));
        }
        _wclosedir(d);
    }
#else
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *e = readdir(d)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.emplace_back(e->d_name);
        }
        closedir(d);
    }
#endif
    return names;
}

#ifndef _WIN32

int run_in_child(const std::function<int()> &body, unsigned timeout_seconds) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        alarm(timeout_seconds);
        int code = body();
        _exit(code);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

int run_as_nobody(const std::function<int()> &body) {
    return run_in_child([&] {
        // As root, drop for good; an ordinary user is unprivileged already.
        if (geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0))
            return 90;
        return body();
    });
}

namespace {

// Reads both descriptors to their ends without letting either pipe fill up;
// a descriptor of -1 is not read.
void drain(int out_fd, int err_fd, std::string &out, std::string &err) {
    struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string *sinks[2] = {&out, &err};
    int open_count = (out_fd >= 0) + (err_fd >= 0);
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1; // end of file, or a pty whose other side closed (EIO)
                --open_count;
            }
        }
    }
}

void exec_program(const std::vector<std::string> &argv) {
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

int wait_for(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string without_carriage_returns(const std::string &text) {
    std::string plain;
    for (char c : text) {
        if (c != '\r') plain += c;
    }
    return plain;
}

// Starts `argv` with stdin from /dev/null, stdout on `out_fd` and stderr into
// a pipe, collects stderr and what `out_fd`'s other end `out_read` delivers
// (-1: nothing to read), and waits for the program.
ProcessResult start_and_collect(const std::vector<std::string> &argv, int out_fd, int out_read) {
    ProcessResult result;
    int err_pipe[2];
    if (pipe(err_pipe) != 0) return result;
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, STDIN_FILENO);
        dup2(out_fd, STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        if (out_read >= 0) close(out_read);
        close(err_pipe[0]);
        exec_program(argv);
    }
    close(out_fd);
    close(err_pipe[1]);
    if (out_read >= 0) {
        drain(out_read, err_pipe[0], result.out, result.err);
        close(out_read);
    } else {
        std::string none;
        drain(err_pipe[0], -1, result.err, none);
    }
    close(err_pipe[0]);
    result.status = wait_for(pid);
    return result;
}

} // namespace

ProcessResult run_program(const std::vector<std::string> &argv, bool terminal) {
    int out_pipe[2];
    if (terminal) {
        if (openpty(&out_pipe[0], &out_pipe[1], nullptr, nullptr, nullptr) != 0) return {};
    } else if (pipe(out_pipe) != 0) {
        return {};
    }
    ProcessResult result = start_and_collect(argv, out_pipe[1], out_pipe[0]);
    if (terminal) result.out = without_carriage_returns(result.out);
    return result;
}

ProcessResult run_program_into(const std::vector<std::string> &argv,
                               const std::string &stdout_file) {
    const int fd = open(stdout_file.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return {};
    return start_and_collect(argv, fd, -1);
}

ProcessResult run_on_terminal(const std::vector<std::string> &argv, const std::string &input,
                              unsigned short columns) {
    return run_on_terminal(argv, {"", nullptr, input}, columns);
}

ProcessResult run_on_terminal(const std::vector<std::string> &argv, const TerminalAnswer &answer,
                              unsigned short columns) {
    const std::string &input = answer.input;
    int terminal = -1, program_side = -1;
    struct winsize size = {24, columns, 0, 0};
    if (openpty(&terminal, &program_side, nullptr, nullptr, &size) != 0) return {};
    struct termios mode;
    if (tcgetattr(program_side, &mode) == 0) {
        mode.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(program_side, TCSANOW, &mode);
    }
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(terminal);
        if (login_tty(program_side) != 0) _exit(126);
        exec_program(argv);
    }
    close(program_side);
    ProcessResult result;
    // The question first, then what happens while it is open.
    while (!answer.after.empty() && result.out.find(answer.after) == std::string::npos) {
        char buf[4096];
        const ssize_t n = read(terminal, buf, sizeof buf);
        if (n > 0) {
            result.out.append(buf, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    if (answer.meanwhile) answer.meanwhile();
    // Typed ahead: the terminal holds the line until the program reads it.
    for (size_t done = 0; done < input.size();) {
        const ssize_t n = write(terminal, input.data() + done, input.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            break;
        }
    }
    std::string none;
    drain(terminal, -1, result.out, none);
    close(terminal);
    result.status = wait_for(pid);
    result.out = without_carriage_returns(result.out);
    return result;
}

#endif // !_WIN32

std::string contents_of(const std::string &path) {
    std::string bytes;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
        for (int c; (c = std::fgetc(f)) != EOF;) bytes.push_back(static_cast<char>(c));
        std::fclose(f);
    }
    return bytes;
}

std::string scan(const std::string &dir, bool purge) {
    ktcache::unique_text report(ktcache_scan_dir_json(dir.c_str(), purge ? 1 : 0));
    return report ? std::string(report.get()) : std::string("<null>");
}

std::string expected_report(const std::vector<Listed> &files, uint64_t purged) {
    int64_t total = 0;
    std::string list;
    for (const Listed &f : files) {
        total += f.bytes;
        if (!list.empty()) list += ",";
        list += "{\"name\":\"" + f.name + "\",\"bytes\":" + std::to_string(f.bytes) +
                ",\"format\":\"" + f.format + "\"}";
    }
    return "{\"validCount\":" + std::to_string(files.size()) +
           ",\"purgedCount\":" + std::to_string(purged) +
           ",\"totalBytes\":" + std::to_string(total) + ",\"files\":[" + list + "]}";
}

} // namespace kt
