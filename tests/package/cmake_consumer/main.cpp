// Uses the installed C++ header and library the way an integrator would.
#include <ktcache.hpp>

#include <cstdio>

int main() {
    if (ktcache::selftest() != ktcache::SelftestResult::ok) return 1;
    const auto name = ktcache::safe_filename("https://h/a/Intro%20Theme.flac?x=1");
    if (!name || *name != "Intro Theme.flac") return 1;
    std::printf("cmake consumer: ktcache %s, %s\n", ktcache::version().data(),
                ktcache::format_bytes(15369751).c_str());
    return 0;
}
