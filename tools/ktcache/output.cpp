#include "output.h"

#include "names.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace tool {

namespace {
constexpr size_t kFlushSize = size_t{64} * 1024;
} // namespace

Output::Output(int fd) : fd_(fd), terminal_(isatty(fd) == 1) {}

void Output::put(std::string_view text) {
    buffer_.append(text);
    if (buffer_.size() >= kFlushSize) flush();
}

bool Output::flush() {
    size_t done = 0;
    while (error_ == 0 && done < buffer_.size()) {
        const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            error_ = errno;
        }
    }
    buffer_.clear();
    return error_ == 0;
}

void Table::add(std::initializer_list<std::string_view> row) {
    if (aligned_) {
        rows_.emplace_back(row.begin(), row.end());
        return;
    }
    const char *separator = "";
    for (std::string_view cell : row) {
        out_.put(separator);
        out_.put(cell);
        separator = "\t";
    }
    out_.put('\n');
}

void Table::print() {
    std::vector<size_t> widths;
    for (const auto &row : rows_) {
        for (size_t i = 0; i < row.size(); ++i) {
            if (widths.size() <= i) widths.push_back(0);
            widths[i] = std::max(widths[i], display_width(row[i]));
        }
    }
    for (const auto &row : rows_) {
        for (size_t i = 0; i < row.size(); ++i) {
            out_.put(row[i]);
            if (i + 1 < row.size())
                out_.put(std::string(widths[i] + 2 - display_width(row[i]), ' '));
        }
        out_.put('\n');
    }
    rows_.clear();
}

std::string plural(uint64_t n, const char *one, const char *many) {
    const std::string word = n == 1 ? one : many != nullptr ? many : std::string(one) + "s";
    return std::to_string(n) + " " + word;
}

} // namespace tool
