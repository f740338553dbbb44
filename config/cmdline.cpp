#include "config/cmdline.h"

#include <cstring>
#include <string_view>

namespace config {

void print_help(FILE* out) {
    std::fprintf(out, "Usage: %s\n", "fpigate [options]");
    std::fprintf(out, "%s\n", "\nFault passage indicator gateway: IEC 60870-5-104 outstation for RF FPIs.");
    std::fprintf(out, "\n");
    std::fprintf(out, "    -h, --help        show this help message and exit\n");
    std::fprintf(out, "    -p, --path=<str>  Path to configuration file\n");
    std::fprintf(out, "%s\n", "");
}

int parse_cmdline(int argc, char** argv, options& opts, FILE* out, FILE* err) {
    auto unknown = [&](const char* arg) {
        std::fprintf(err, "error: unknown option `%s`\n", arg);
        print_help(out);
        return 1;
    };
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg.size() < 2 || arg[0] != '-') continue;  // not an option
        if (arg == "--") break;

        if (arg[1] != '-') {  // short options, possibly grouped: -h, -pDIR, -p DIR
            for (size_t j = 1; j < arg.size(); ++j) {
                char c = arg[j];
                if (c == 'h') {
                    print_help(out);
                    return 0;
                }
                if (c != 'p') return unknown(argv[i]);
                std::string_view value;
                if (j + 1 < arg.size())
                    value = arg.substr(j + 1);
                else if (i + 1 < argc)
                    value = argv[++i];
                if (value.empty()) {
                    std::fprintf(err, "error: option `-%c` %s\n", 'p', "requires a value");
                    return 1;
                }
                opts.config_dir = std::string(value);
                break;
            }
            continue;
        }

        std::string_view name = arg.substr(2);
        std::optional<std::string_view> value;
        if (size_t eq = name.find('='); eq != std::string_view::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        if (name == "help") {
            if (value) {
                std::fprintf(err, "error: option `--%s` %s\n", "help", "takes no value");
                return 1;
            }
            print_help(out);
            return 0;
        }
        if (name != "path") return unknown(argv[i]);
        if (!value && i + 1 < argc) value = argv[++i];
        if (!value || value->empty()) {
            std::fprintf(err, "error: option `--%s` %s\n", "path", "requires a value");
            return 1;
        }
        opts.config_dir = std::string(*value);
    }
    if (opts.config_dir) std::fprintf(out, "path: %s\n", opts.config_dir->c_str());
    return -1;
}

}  // namespace config
