#include "names.h"

#include "ktcache_walk.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

namespace tool {

namespace {

// C0 controls, DEL and the C1 controls (U+0080 to U+009F).
bool is_control(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

// Name pieces: a printable character (one or more bytes) or one byte that
// must be escaped (a control byte or a byte that is not UTF-8).
struct Piece {
    std::string_view bytes;
    bool escape;
};

template <typename Visit> void for_each_piece(std::string_view name, Visit visit) {
    while (!name.empty()) {
        char32_t c = 0;
        const size_t length = ktcache_core::utf8_decode(name.data(), name.size(), &c);
        if (length == 0 || is_control(c)) {
            // A control character of several bytes (C1) is escaped byte by byte.
            const size_t n = length == 0 ? 1 : length;
            for (size_t i = 0; i < n; ++i) visit(Piece{name.substr(i, 1), true});
            name.remove_prefix(n);
        } else {
            visit(Piece{name.substr(0, length), false});
            name.remove_prefix(length);
        }
    }
}

bool needs_escapes(std::string_view name) {
    bool found = false;
    for_each_piece(name, [&](const Piece &p) { found = found || p.escape; });
    return found;
}

// Printable ASCII without a backslash: written as it is in a pipe, and free
// of escapes on a terminal (the most common name, checked first).
bool is_plain_ascii(std::string_view name) {
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return c >= 0x20 && c < 0x7F && c != '\\'; });
}

const char kHex[] = "0123456789ABCDEF";

// Characters after which a shell would not read the name as one plain word
// (GNU ls's list); "#" and "~" only at the start.
bool is_shell_special(char c) { return std::strchr(" !\"$&'()*;<=>?[\\^`|", c) != nullptr; }

bool needs_shell_quotes(std::string_view name) {
    if (name.empty() || name[0] == '#' || name[0] == '~') return true;
    return std::any_of(name.begin(), name.end(), [](char c) { return is_shell_special(c); });
}

// $'...' with \a \b \t \n \v \f \r and three-digit octal escapes.
std::string dollar_quoted(std::string_view name) {
    std::string shown = "$'";
    for_each_piece(name, [&](const Piece &p) {
        const unsigned char b = static_cast<unsigned char>(p.bytes[0]);
        if (!p.escape) {
            if (b == '\\' || b == '\'') shown += '\\';
            shown.append(p.bytes);
            return;
        }
        static const char kNamed[] = "\a\b\t\n\v\f\r";
        static const char kLetters[] = "abtnvfr";
        if (const char *named = b != 0 ? std::strchr(kNamed, b) : nullptr) {
            shown += {'\\', kLetters[named - kNamed]};
        } else {
            shown += {'\\', static_cast<char>('0' + (b >> 6)),
                      static_cast<char>('0' + ((b >> 3) & 7)), static_cast<char>('0' + (b & 7))};
        }
    });
    return shown + "'";
}

} // namespace

std::string piped_name(std::string_view name) {
    if (is_plain_ascii(name)) return std::string(name);
    std::string shown;
    shown.reserve(name.size());
    for_each_piece(name, [&](const Piece &p) {
        const unsigned char b = static_cast<unsigned char>(p.bytes[0]);
        if (!p.escape) {
            if (b == '\\') {
                shown += "\\\\";
            } else {
                shown.append(p.bytes);
            }
        } else if (b == '\t') {
            shown += "\\t";
        } else if (b == '\n') {
            shown += "\\n";
        } else if (b == '\r') {
            shown += "\\r";
        } else {
            shown += {'\\', 'x', kHex[b >> 4], kHex[b & 0xF]};
        }
    });
    return shown;
}

// Names in single quotes ('a b', 'it'\''s "x"'), or in double quotes when a
// single quote is the only difficulty ("it's").
std::string terminal_name(std::string_view name) {
    if (!is_plain_ascii(name) && needs_escapes(name)) return dollar_quoted(name);
    if (!needs_shell_quotes(name)) return std::string(name);
    if (name.find('\'') != std::string_view::npos &&
        name.find_first_of("\"$`\\!") == std::string_view::npos)
        return "\"" + std::string(name) + "\"";
    std::string shown = "'";
    for (char c : name) {
        if (c == '\'') {
            shown += "'\\''";
        } else {
            shown += c;
        }
    }
    return shown + "'";
}

size_t display_width(std::string_view text) {
    size_t width = 0;
    while (!text.empty()) {
        char32_t c = 0;
        const size_t length =
            std::max<size_t>(ktcache_core::utf8_decode(text.data(), text.size(), &c), 1);
        const int w = c < 0x80 ? 1 : wcwidth(static_cast<wchar_t>(c));
        width += w < 0 ? 1 : static_cast<size_t>(w);
        text.remove_prefix(length);
    }
    return width;
}

bool name_before(std::string_view a, std::string_view b) {
    const int order = std::strcoll(a.data(), b.data());
    return order != 0 ? order < 0 : a < b;
}

} // namespace tool
