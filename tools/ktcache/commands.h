// The ktcache command's commands: their parsed arguments, exit statuses and
// messages, shared by main.cpp (the small commands and dispatch) and
// scan.cpp (the scan).
#pragma once

#include "output.h"

#include <map>
#include <string>
#include <vector>

namespace tool {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct Command;

// Parsed arguments of one command: long options (with their values) and
// operands. "--" ends the options, so a file may be called "--purge".
struct Arguments {
    const Command *command = nullptr;
    std::map<std::string, std::string> options;
    std::vector<std::string> operands;
    bool help = false;

    bool has(const char *option) const { return options.count(option) != 0; }
};

// "ktcache COMMAND: MESSAGE (see 'ktcache COMMAND --help')" on standard
// error; returns kExitUsage. The message may quote what the user typed.
int usage_error(const Arguments &a, const std::string &message);

// "ktcache COMMAND: MESSAGE" on standard error, as every error line starts.
void error_line(const Arguments &a, const std::string &message);

int run_scan(const Arguments &a, Output &out);

} // namespace tool
