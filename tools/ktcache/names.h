// Names on screen: how the ktcache command writes a file name into a pipe
// and onto a terminal, how wide it is there, and in which order names sort.
#pragma once

#include <string>
#include <string_view>

namespace tool {

// Into a pipe or file: \t, \n, \r, \\ and \xHH for every other control byte
// and every byte that is not UTF-8; all else as it is.
std::string piped_name(std::string_view name);

// On a terminal, as GNU ls quotes: plain names as they are, names with
// shell-special characters quoted, names with control bytes or bytes that
// are not UTF-8 in the $'...' form.
std::string terminal_name(std::string_view name);

inline std::string shown_name(std::string_view name, bool terminal) {
    return terminal ? terminal_name(name) : piped_name(name);
}

// Columns a terminal gives to `text`, which holds no control or stray bytes
// any more: wide characters take two, combining marks none.
size_t display_width(std::string_view text);

// The order of `ls`: the locale's collation, then the bytes. Both names end
// in a NUL right after their last byte.
bool name_before(std::string_view a, std::string_view b);

} // namespace tool
