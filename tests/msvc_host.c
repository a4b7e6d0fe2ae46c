/*
 * msvc_host.c - a host linked the way MSVC links: compiled for the MSVC
 * target by clang and linked by lld-link against the DLL's MSVC import
 * library (its .lib), with no C runtime at all. It calls every exported
 * function through that library's import entries and exits with 0 when each
 * gives its documented result, else with the number of the first check that
 * failed.
 */
#include "ktcache.h"

/* The three kernel32 functions the program needs, from an import library
 * made with llvm-dlltool. */
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);
__declspec(dllimport) void *__stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void *file, const void *data, unsigned long size,
                                              unsigned long *written, void *overlapped);

static int same_text(const char *a, const char *b) {
    if (a == 0) return 0;
    while (*a != '\0' && *a == *b) ++a, ++b;
    return *a == *b;
}

static int starts_with(const char *text, const char *start) {
    if (text == 0) return 0;
    while (*start != '\0' && *text == *start) ++text, ++start;
    return *start == '\0';
}

static void say(const char *text) {
    unsigned long length = 0, written;
    while (text[length] != '\0') ++length;
    WriteFile(GetStdHandle((unsigned long)-11), text, length, &written, 0);
}

static unsigned int run_checks(void) {
    static const unsigned char ogg_header[12] = {'O', 'g', 'g', 'S'};
    char bytes_text[KTCACHE_BYTES_TEXT_SIZE];
    char *name, *report;
    int named, scanned;

    if (!same_text(ktcache_version(), "1.0.0")) return 1;
    if (ktcache_abi_version() != 1) return 2;
    if (!same_text(ktcache_last_error(), "")) return 3;
    if (ktcache_validate_file(0, 0) != -1 || !same_text(ktcache_last_error(), "empty path"))
        return 4;
    if (ktcache_has_valid_audio_magic(ogg_header, sizeof ogg_header) != KTCACHE_FORMAT_OGG)
        return 5;
    if (!same_text(ktcache_format_name(KTCACHE_FORMAT_OGG), "ogg")) return 6;
    if (ktcache_validate_http_status(204) != 0) return 7;
    name = ktcache_safe_filename("https://example.com/a%20song.mp3?x=1");
    named = same_text(name, "a song.mp3");
    ktcache_free(name);
    if (!named) return 8;
    report = ktcache_scan_dir_json(".", 0);
    scanned = starts_with(report, "{\"validCount\":") && same_text(ktcache_last_error(), "");
    ktcache_free(report);
    if (!scanned) return 9;
    if (ktcache_format_bytes(15369751, bytes_text, sizeof bytes_text) != 7 ||
        !same_text(bytes_text, "14.7 MB"))
        return 10;
    if (ktcache_selftest() != KTCACHE_SELFTEST_OK) return 11;
    ktcache_free(0);
    return 0;
}

void __stdcall msvc_host_main(void) {
    unsigned int failed = run_checks();
    say(failed == 0 ? "msvc_host: every function through the .lib\n" : "msvc_host: FAILED\n");
    ExitProcess(failed);
}
