// What the ktcache command prints: a buffered output that keeps its first
// write error, and tables that are aligned on a terminal and tab-separated
// into a pipe.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace tool {

// Buffered, and written with write(2) so that the first failure is kept
// with its reason. After a failure nothing more is written.
class Output {
  public:
    explicit Output(int fd);
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;

    void put(std::string_view text);
    void put(char c) { put(std::string_view(&c, 1)); }

    // Writes what is buffered; false when any write has failed.
    bool flush();

    int error() const { return error_; }
    bool is_terminal() const { return terminal_; }

  private:
    int fd_;
    bool terminal_;
    std::string buffer_;
    int error_ = 0;
};

// Rows of fields, aligned for a terminal and tab-separated for a pipe. Cells
// that hold names are given already in their shown form. Into a pipe each
// row is written at once; for a terminal the rows wait for print(), which
// knows the widths of the columns. A heading row is shown on a terminal
// only: into a pipe every line is a record.
class Table {
  public:
    explicit Table(Output &out) : out_(out), aligned_(out.is_terminal()) {}

    void heading(std::initializer_list<std::string_view> row) {
        if (aligned_) add(row);
    }
    void add(std::initializer_list<std::string_view> row);
    void print();

  private:
    Output &out_;
    bool aligned_;
    std::vector<std::vector<std::string>> rows_;
};

// "1 file", "2 files"; `many` for a word whose plural is not the word and "s".
std::string plural(uint64_t n, const char *one, const char *many = nullptr);

} // namespace tool
