/* Built with nothing but the flags that pkg-config gives for the package. */
#include <ktcache.h>

#include <stdio.h>
#include <string.h>

int main(void) {
    char text[KTCACHE_BYTES_TEXT_SIZE];
    if (ktcache_selftest() != KTCACHE_SELFTEST_OK) return 1;
    if (ktcache_format_bytes(1536, text, sizeof text) != 6 || strcmp(text, "1.5 KB") != 0) return 1;
    printf("pkg-config consumer: ktcache %s, %s\n", ktcache_version(), text);
    return 0;
}
