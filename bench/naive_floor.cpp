#include "reference_loops.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {

size_t naive_floor_pass(const char *dir_path) {
    DIR *dir = opendir(dir_path);
    if (dir == nullptr) return 0;
    const size_t dir_length = std::strlen(dir_path);
    size_t bytes_read = 0;
    while (const struct dirent *entry = readdir(dir)) {
        const char *name = entry->d_name;
        if (name[0] == '.') continue;
        const size_t size = dir_length + std::strlen(name) + 2;
        auto *path = static_cast<char *>(std::malloc(size));
        if (path == nullptr) continue;
        std::snprintf(path, size, "%s/%s", dir_path, name);
        struct stat st;
        if (stat(path, &st) == 0 && stat(path, &st) == 0) {
            int fd = open(path, O_RDONLY);
            if (fd >= 0) {
                unsigned char header[64];
                ssize_t got = read(fd, header, sizeof header);
                if (got > 0) bytes_read += static_cast<size_t>(got);
                close(fd);
            }
        }
        std::free(path);
    }
    closedir(dir);
    return bytes_read;
}

} // namespace bench
