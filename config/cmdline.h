// The command line of fpigate:
//   -h, --help        show this help message and exit
//   -p, --path=<str>  Path to configuration file
// The value of -p may follow as the next argument, attached (-pDIR) or after
// '=' (--path=DIR). Arguments not starting with '-' are ignored; "--" ends
// the options.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

namespace config {

struct options {
    std::optional<std::string> config_dir;  // from -p
};

// Parses argv. Returns -1 to go on, or the exit status when the program must
// stop: 0 after the help text, 1 after an error ("error: ..." on err, and for
// an unknown option the help text on out).
int parse_cmdline(int argc, char** argv, options& opts, FILE* out, FILE* err);

void print_help(FILE* out);

}  // namespace config
