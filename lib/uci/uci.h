// UCI configuration files: the text syntax of OpenWrt's /etc/config files,
// parsed into packages of sections of options.
//
//   package 'network'
//   config interface 'lan'          # named section
//       option proto static
//       list dns "192.168.1.1"
//   config rule                     # anonymous section, gets a generated name
//
// Values are unquoted, 'single quoted' (taken literally) or "double quoted";
// a backslash escapes the next character in unquoted and double-quoted text,
// and adjacent parts join ('a'"b"c is "abc"). '#' starts a comment outside quotes.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace uci {

struct option {
    std::string name;
    bool is_list = false;             // set by `list`, cleared by a later `option`
    std::vector<std::string> values;  // one value for a plain option
};

struct section {
    std::string type;
    std::string name;  // generated ("cfg...") for an anonymous section
    bool anonymous = false;
    std::vector<option> options;  // in file order

    const option* find(std::string_view option_name) const;
};

struct package {
    std::string name;  // from `package`, else the file name
    std::vector<section> sections;  // in file order
};

// Where and why a file could not be read: "FILE:LINE: what" via describe().
struct error {
    std::string file;
    int line = 0;  // 0 when the file itself could not be opened
    std::string message;

    std::string describe() const;
};

// Parses text as the package `package_name`; file_name appears in errors.
// On a syntax error returns nothing and fills err.
std::optional<package> parse(std::string_view text, const std::string& file_name,
                             const std::string& package_name, error& err);

// Reads the package file DIR/NAME.
std::optional<package> load(const std::string& dir, const std::string& package_name,
                            error& err);

// The configuration directory of a system without another choice.
inline constexpr const char* default_config_dir = "/etc/config";

}  // namespace uci
