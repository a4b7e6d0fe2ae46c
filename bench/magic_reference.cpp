#include "reference_loops.h"

#include <dirent.h>
#include <magic.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

namespace bench {

MagicReference::MagicReference() {
    magic_t cookie = magic_open(MAGIC_MIME_TYPE);
    if (cookie == nullptr) {
        error_ = "magic_open failed";
        return;
    }
    if (magic_load(cookie, nullptr) != 0) {
        const char *reason = magic_error(cookie);
        error_ = std::string("magic_load failed: ") + (reason != nullptr ? reason : "?");
        magic_close(cookie);
        return;
    }
    cookie_ = cookie;
}

MagicReference::~MagicReference() {
    if (cookie_ != nullptr) magic_close(static_cast<magic_t>(cookie_));
}

MagicReference::Pass MagicReference::classify_directory(const char *dir_path) {
    Pass pass;
    DIR *dir = opendir(dir_path);
    if (dir == nullptr || cookie_ == nullptr) {
        if (dir != nullptr) closedir(dir);
        return pass;
    }
    auto cookie = static_cast<magic_t>(cookie_);
    std::string path = std::string(dir_path) + "/";
    const size_t prefix = path.size();
    while (const struct dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        path.resize(prefix);
        path += entry->d_name;
        if (entry->d_type != DT_REG) {
            struct stat st;
            if (entry->d_type != DT_UNKNOWN && entry->d_type != DT_LNK) continue;
            if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        }
        const char *type = magic_file(cookie, path.c_str());
        ++pass.files;
        if (type != nullptr && std::strncmp(type, "audio/", 6) == 0) ++pass.audio;
    }
    closedir(dir);
    return pass;
}

} // namespace bench
