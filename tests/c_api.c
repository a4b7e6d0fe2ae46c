/* A plain C client: the header compiles as C and every function links and
 * behaves when called from C. Exit status 0 on success. */
#include "ktcache.h"

#include <stdio.h>
#include <string.h>

static int failures = 0;

static void check(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "c_api: %s\n", what);
        ++failures;
    }
}

int main(void) {
    char text[KTCACHE_BYTES_TEXT_SIZE];
    char *name;
    char *report;

    check(strcmp(ktcache_version(), KTCACHE_VERSION_STRING) == 0, "version");
    check(ktcache_abi_version() == KTCACHE_ABI_VERSION, "abi version");
    check(ktcache_last_error() != NULL && ktcache_last_error()[0] == '\0', "fresh last error");
    check(ktcache_has_valid_audio_magic("fLaC\0\0\0\0\0\0\0\0", 12) == KTCACHE_FORMAT_FLAC,
          "flac magic");
    check(strcmp(ktcache_format_name(KTCACHE_FORMAT_WAV), "wav") == 0, "format name");
    check(ktcache_validate_file(NULL, 0) == -1, "null path");
    check(strcmp(ktcache_last_error(), "empty path") == 0, "empty path message");
    check(ktcache_validate_http_status(204) == 0, "http 204");
    check(ktcache_format_bytes(15369751, text, sizeof text) == 7, "bytes length");
    check(strcmp(text, "14.7 MB") == 0, "bytes text");
    check(ktcache_selftest() == KTCACHE_SELFTEST_OK, "selftest");

    name = ktcache_safe_filename("https://h/a%20b.mp3?x");
    check(name != NULL && strcmp(name, "a b.mp3") == 0, "safe filename");
    ktcache_free(name);

    report = ktcache_scan_dir_json(NULL, 0);
    check(report == NULL && strcmp(ktcache_last_error(), "empty dir_path") == 0, "scan null");
    ktcache_free(report);

    if (failures == 0) printf("c_api: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
