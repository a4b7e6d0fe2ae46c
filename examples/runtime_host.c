/*
 * runtime_host.c - loading the library at run time, as the player does.
 *
 * The host does not link against the library: it opens it by file name
 * (dlopen on Linux; on Windows LoadLibraryW with the DLL's full path, a
 * relative LIBRARY_FILE being taken from the program's own folder, where a
 * host ships the DLL), resolves every function by name, runs the self-test
 * and scans a cache directory.
 *
 *   usage: runtime_host LIBRARY_FILE CACHE_DIR
 *
 * Exit status 0 when every function resolved, the self-test passed and the
 * scan gave a report (printed on stdout); 1 otherwise.
 */
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#if defined(_WIN32)
#include <wchar.h>
#include <windows.h>
typedef HMODULE library_handle;

/* Whether a path names its drive or server: C:\... or \\server\... */
static int is_full_path(const wchar_t *path) {
    return (path[0] != L'\0' && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/')) ||
           (path[0] == L'\\' && path[1] == L'\\');
}

/* Loads the DLL by its full path: given a bare name, Windows would search
 * directories that an attacker may control. A relative path is taken from
 * the folder of this program's own executable. */
static library_handle open_library(const char *file) {
    wchar_t name[MAX_PATH], path[MAX_PATH];
    wchar_t *folder_end;
    DWORD length;
    if (MultiByteToWideChar(CP_ACP, 0, file, -1, name, MAX_PATH) == 0) return NULL;
    if (is_full_path(name)) return LoadLibraryW(name);
    length = GetModuleFileNameW(NULL, path, MAX_PATH);
    if (length == 0 || length == MAX_PATH) return NULL;
    folder_end = wcsrchr(path, L'\\');
    if (folder_end == NULL || (size_t)(folder_end + 1 - path) + wcslen(name) >= MAX_PATH)
        return NULL;
    memcpy(folder_end + 1, name, (wcslen(name) + 1) * sizeof name[0]);
    return LoadLibraryW(path);
}

/* ISO C has no cast from a function pointer to void *; copy its bytes
 * instead, as resolve() does the other way round. */
static void *find_function(library_handle lib, const char *name) {
    FARPROC fn = GetProcAddress(lib, name);
    void *address;
    memcpy(&address, &fn, sizeof address);
    return address;
}
static void close_library(library_handle lib) { FreeLibrary(lib); }
#else
#include <dlfcn.h>
typedef void *library_handle;
static library_handle open_library(const char *file) { return dlopen(file, RTLD_NOW | RTLD_LOCAL); }
static void *find_function(library_handle lib, const char *name) { return dlsym(lib, name); }
static void close_library(library_handle lib) { dlclose(lib); }
#endif

/* The library's interface as the host sees it: plain function pointers. */
struct ktcache_api {
    const char *(*version)(void);
    int32_t (*abi_version)(void);
    const char *(*last_error)(void);
    void (*free_block)(void *);
    int32_t (*has_valid_audio_magic)(const void *, size_t);
    const char *(*format_name)(int32_t);
    int32_t (*validate_file)(const char *, int64_t);
    int32_t (*validate_http_status)(int32_t);
    char *(*safe_filename)(const char *);
    char *(*scan_dir_json)(const char *, int32_t);
    int32_t (*format_bytes)(int64_t, char *, size_t);
    int32_t (*selftest)(void);
};

/* Resolves one function into `slot`; data and function pointers share a
 * representation on every platform the library ships for. */
static int resolve(library_handle lib, const char *name, void *slot) {
    void *fn = find_function(lib, name);
    if (fn == NULL) {
        fprintf(stderr, "runtime_host: %s not found\n", name);
        return 0;
    }
    memcpy(slot, &fn, sizeof fn);
    return 1;
}

static int resolve_api(library_handle lib, struct ktcache_api *api) {
    int ok = 1;
    ok &= resolve(lib, "ktcache_version", &api->version);
    ok &= resolve(lib, "ktcache_abi_version", &api->abi_version);
    ok &= resolve(lib, "ktcache_last_error", &api->last_error);
    ok &= resolve(lib, "ktcache_free", &api->free_block);
    ok &= resolve(lib, "ktcache_has_valid_audio_magic", &api->has_valid_audio_magic);
    ok &= resolve(lib, "ktcache_format_name", &api->format_name);
    ok &= resolve(lib, "ktcache_validate_file", &api->validate_file);
    ok &= resolve(lib, "ktcache_validate_http_status", &api->validate_http_status);
    ok &= resolve(lib, "ktcache_safe_filename", &api->safe_filename);
    ok &= resolve(lib, "ktcache_scan_dir_json", &api->scan_dir_json);
    ok &= resolve(lib, "ktcache_format_bytes", &api->format_bytes);
    ok &= resolve(lib, "ktcache_selftest", &api->selftest);
    return ok;
}

int main(int argc, char **argv) {
    struct ktcache_api api;
    library_handle lib;
    char *report;
    int status = 1;

    if (argc != 3) {
        fprintf(stderr, "usage: runtime_host LIBRARY_FILE CACHE_DIR\n");
        return 2;
    }
    lib = open_library(argv[1]);
    if (lib == NULL) {
        fprintf(stderr, "runtime_host: cannot load %s\n", argv[1]);
        return 1;
    }
    if (resolve_api(lib, &api)) {
        printf("loaded ktcache %s (interface %d)\n", api.version(), (int)api.abi_version());
        if (api.abi_version() != 1) {
            fprintf(stderr, "runtime_host: unsupported interface %d\n", (int)api.abi_version());
        } else if (api.selftest() != 0) {
            fprintf(stderr, "runtime_host: self-test failed\n");
        } else if ((report = api.scan_dir_json(argv[2], 0)) == NULL) {
            fprintf(stderr, "runtime_host: scan failed: %s\n", api.last_error());
        } else {
            printf("%s\n", report);
            api.free_block(report);
            status = 0;
        }
    }
    close_library(lib);
    return status;
}
