// The library's boundary: the exported set, version, release of blocks and
// the per-thread last-error text.
#include "support.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <elf.h>
#endif
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>
#include <vector>

namespace {

const std::set<std::string> kInterface = {
    "ktcache_version",       "ktcache_abi_version",           "ktcache_last_error",
    "ktcache_free",          "ktcache_has_valid_audio_magic", "ktcache_format_name",
    "ktcache_validate_file", "ktcache_validate_http_status",  "ktcache_safe_filename",
    "ktcache_scan_dir_json", "ktcache_format_bytes",          "ktcache_selftest",
};

#ifdef _WIN32

// The names in the DLL's export directory, read from the loaded image: that is
// what GetProcAddress resolves. `unnamed` counts entries reachable only by
// ordinal: functions in the address table that no name leads to. An empty
// slot exports nothing (lld numbers ordinals from a base of 0 and leaves the
// slot of ordinal 0 empty).
std::set<std::string> exported_names(HMODULE module, size_t &unnamed) {
    const auto *base = reinterpret_cast<const unsigned char *>(module);
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS64 *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &dir =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    std::set<std::string> names;
    unnamed = 0;
    if (dir.VirtualAddress == 0) return names;
    const auto *exports =
        reinterpret_cast<const IMAGE_EXPORT_DIRECTORY *>(base + dir.VirtualAddress);
    const auto *name_rvas = reinterpret_cast<const DWORD *>(base + exports->AddressOfNames);
    const auto *name_slots = reinterpret_cast<const WORD *>(base + exports->AddressOfNameOrdinals);
    const auto *function_rvas = reinterpret_cast<const DWORD *>(base + exports->AddressOfFunctions);
    std::vector<bool> named(exports->NumberOfFunctions, false);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        names.insert(reinterpret_cast<const char *>(base + name_rvas[i]));
        if (name_slots[i] < named.size()) named[name_slots[i]] = true;
    }
    for (DWORD slot = 0; slot < exports->NumberOfFunctions; ++slot)
        if (function_rvas[slot] != 0 && !named[slot]) ++unnamed;
    return names;
}

} // namespace

TEST(ExportedInterface, DefinesExactlyTheTwelveFunctions) {
    HMODULE lib = LoadLibraryA(KTCACHE_LIBRARY_FILE);
    ASSERT_NE(lib, nullptr) << "LoadLibrary error " << GetLastError();
    size_t unnamed = 0;
    EXPECT_EQ(exported_names(lib, unnamed), kInterface);
    EXPECT_EQ(unnamed, 0u);
    FreeLibrary(lib);
}

TEST(ExportedInterface, ResolvesEveryFunctionByNameAtRunTime) {
    HMODULE lib = LoadLibraryA(KTCACHE_LIBRARY_FILE);
    ASSERT_NE(lib, nullptr) << "LoadLibrary error " << GetLastError();
    for (const std::string &name : kInterface)
        EXPECT_NE(GetProcAddress(lib, name.c_str()), nullptr) << name;
    EXPECT_EQ(GetProcAddress(lib, "ktcache_scan_dir_json_impl"), nullptr);
    FreeLibrary(lib);
}

#else

// Every symbol the shared object defines in its dynamic symbol table, read
// straight from the ELF file: that is what a loader can resolve.
std::set<std::string> defined_dynamic_symbols(const std::string &file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<char> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::set<std::string> names;
    if (image.size() < sizeof(Elf64_Ehdr)) return names;
    const auto *eh = reinterpret_cast<const Elf64_Ehdr *>(image.data());
    const auto *sections = reinterpret_cast<const Elf64_Shdr *>(image.data() + eh->e_shoff);
    for (int i = 0; i < eh->e_shnum; ++i) {
        if (sections[i].sh_type != SHT_DYNSYM) continue;
        const Elf64_Shdr &strtab = sections[sections[i].sh_link];
        const auto *syms =
            reinterpret_cast<const Elf64_Sym *>(image.data() + sections[i].sh_offset);
        size_t count = sections[i].sh_size / sizeof(Elf64_Sym);
        for (size_t k = 1; k < count; ++k) {
            int bind = ELF64_ST_BIND(syms[k].st_info);
            if (syms[k].st_shndx == SHN_UNDEF || (bind != STB_GLOBAL && bind != STB_WEAK)) continue;
            names.insert(image.data() + strtab.sh_offset + syms[k].st_name);
        }
    }
    return names;
}

} // namespace

TEST(ExportedInterface, DefinesExactlyTheTwelveFunctions) {
    EXPECT_EQ(defined_dynamic_symbols(KTCACHE_LIBRARY_FILE), kInterface);
}

TEST(ExportedInterface, ResolvesEveryFunctionByNameAtRunTime) {
    void *lib = dlopen(KTCACHE_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    for (const std::string &name : kInterface) EXPECT_NE(dlsym(lib, name.c_str()), nullptr) << name;
    EXPECT_EQ(dlsym(lib, "ktcache_scan_dir_json_impl"), nullptr);
    dlclose(lib);
}

#endif

TEST(LibraryIdentity, VersionTextIsStableAndAbiIsOne) {
    const char *first = ktcache_version();
    EXPECT_STREQ(first, "1.0.0");
    EXPECT_EQ(ktcache_version(), first);
    EXPECT_EQ(ktcache_abi_version(), 1);
}

TEST(LibraryIdentity, FreeAcceptsNullAndLibraryBlocks) {
    ktcache_free(nullptr);
    ktcache_free(ktcache_safe_filename("a/b.mp3"));
}

// Each std::thread starts with a fresh last-error buffer.
TEST(LastError, IsEmptyAndNonNullOnAFreshThread) {
    const char *seen = nullptr;
    std::thread([&] { seen = ktcache_last_error(); }).join();
    ASSERT_NE(seen, nullptr);
    std::thread([] {
        const char *text = ktcache_last_error();
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, "");
        EXPECT_EQ(ktcache_last_error(), text);
    }).join();
}

TEST(LastError, FailureOnOneThreadIsInvisibleOnOthers) {
    ktcache_validate_file("/", 0); // "not regular file" on this thread
    std::atomic<int> step{0};
    std::string other_before, other_after;
    std::thread other([&] {
        other_before = ktcache_last_error();
        step = 1;
        while (step != 2) std::this_thread::yield();
        other_after = ktcache_last_error();
    });
    while (step != 1) std::this_thread::yield();
    EXPECT_EQ(ktcache_validate_file(nullptr, 0), -1);
    step = 2;
    other.join();
    EXPECT_STREQ(ktcache_last_error(), "empty path");
    EXPECT_EQ(other_before, "");
    EXPECT_EQ(other_after, "");
}

TEST(LastError, ManyThreadsEachSeeOnlyTheirOwnLastCall) {
    kt::TempDir dir;
    const std::string track = dir.track("ok.ogg", KTCACHE_FORMAT_OGG);
    const std::string stub = dir.write("stub.mp3", kt::audio_header(KTCACHE_FORMAT_MP3), 100);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                switch ((t + i) % 4) {
                case 0:
                    if (ktcache_validate_file(nullptr, 0) != -1 ||
                        std::strcmp(ktcache_last_error(), "empty path") != 0)
                        ++mismatches;
                    break;
                case 1:
                    if (ktcache_validate_file(track.c_str(), 0) != KTCACHE_FORMAT_OGG ||
                        std::strcmp(ktcache_last_error(), "") != 0)
                        ++mismatches;
                    break;
                case 2:
                    if (ktcache_validate_file(stub.c_str(), 0) != 0 ||
                        std::strcmp(ktcache_last_error(), "file below minimum size") != 0)
                        ++mismatches;
                    break;
                default:
                    ktcache_free(ktcache_scan_dir_json("/nonexistent/ktcache", 0));
                    if (std::strcmp(ktcache_last_error(), "opendir failed") != 0) ++mismatches;
                    break;
                }
            }
        });
    }
    for (std::thread &th : threads) th.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(LastError, SurvivesFunctionsThatDoNotTouchFilesAndClearsOnSuccess) {
    kt::TempDir dir;
    const std::string track = dir.track("t.flac", KTCACHE_FORMAT_FLAC);
    ASSERT_EQ(ktcache_validate_file(nullptr, 0), -1);
    const char *buffer = ktcache_last_error();

    EXPECT_STREQ(ktcache_format_name(99), "invalid");
    EXPECT_EQ(ktcache_format_bytes(1, nullptr, 8), -1);
    ktcache_free(ktcache_safe_filename("x/y.mp3"));
    EXPECT_EQ(ktcache_has_valid_audio_magic("OggS________", 12), KTCACHE_FORMAT_OGG);
    EXPECT_EQ(ktcache_validate_http_status(500), -1);
    EXPECT_EQ(ktcache_selftest(), KTCACHE_SELFTEST_OK);
    EXPECT_STREQ(ktcache_last_error(), "empty path");

    EXPECT_EQ(ktcache_validate_file(track.c_str(), 0), KTCACHE_FORMAT_FLAC);
    EXPECT_STREQ(ktcache_last_error(), "");
    EXPECT_EQ(ktcache_last_error(), buffer);
}
