#include <gtest/gtest.h>

#include <vector>

#include "config/cmdline.h"
#include "tests/support/capture.h"

using test_support::captured_output;

namespace {

const char* const help_text =
    "Usage: fpigate [options]\n"
    "\n"
    "Fault passage indicator gateway: IEC 60870-5-104 outstation for RF FPIs.\n"
    "\n"
    "    -h, --help        show this help message and exit\n"
    "    -p, --path=<str>  Path to configuration file\n"
    "\n";

struct parsed {
    int status;
    std::optional<std::string> dir;
    std::string out;
    std::string err;
};

parsed parse(std::vector<std::string> args) {
    args.insert(args.begin(), "fpigate");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    config::options opts;
    captured_output out, err;
    int status = config::parse_cmdline(int(args.size()), argv.data(), opts, out.file, err.file);
    return {status, opts.config_dir, out.text(), err.text()};
}

TEST(Cmdline, HelpText) {
    for (const char* arg : {"-h", "--help"}) {
        parsed p = parse({arg});
        EXPECT_EQ(p.status, 0);
        EXPECT_EQ(p.out, help_text);
        EXPECT_EQ(p.err, "");
    }
}

TEST(Cmdline, PathForms) {
    const std::vector<std::vector<std::string>> forms = {
        {"-p", "/tmp/cfg"}, {"-p/tmp/cfg"}, {"--path", "/tmp/cfg"}, {"--path=/tmp/cfg"},
        {"ignored", "-p", "/tmp/cfg", "also-ignored"}, {"-p", "/first", "-p", "/tmp/cfg"},
    };
    for (const auto& args : forms) {
        parsed p = parse(args);
        EXPECT_EQ(p.status, -1) << args[0];
        EXPECT_EQ(p.dir, "/tmp/cfg") << args[0];
        EXPECT_EQ(p.out, "path: /tmp/cfg\n") << args[0];
    }
    parsed none = parse({"just", "words", "-"});
    EXPECT_EQ(none.status, -1);
    EXPECT_FALSE(none.dir);
    EXPECT_EQ(none.out, "");

    parsed ended = parse({"--", "-x", "-p"});  // "--" ends the options
    EXPECT_EQ(ended.status, -1);
    EXPECT_EQ(ended.err, "");
}

TEST(Cmdline, Errors) {
    struct {
        std::vector<std::string> args;
        const char* err;
        bool help;
    } cases[] = {
        {{"-x"}, "error: unknown option `-x`\n", true},
        {{"--frobnicate=3"}, "error: unknown option `--frobnicate=3`\n", true},
        {{"-px", "-q"}, "error: unknown option `-q`\n", true},
        {{"--pat", "x"}, "error: unknown option `--pat`\n", true},
        {{"-p"}, "error: option `-p` requires a value\n", false},
        {{"--path"}, "error: option `--path` requires a value\n", false},
        {{"--path="}, "error: option `--path` requires a value\n", false},
        {{"--help=yes"}, "error: option `--help` takes no value\n", false},
    };
    for (const auto& c : cases) {
        parsed p = parse(c.args);
        EXPECT_EQ(p.status, 1) << c.args[0];
        EXPECT_EQ(p.err, c.err) << c.args[0];
        EXPECT_EQ(p.out, c.help ? help_text : "") << c.args[0];
    }
}

}  // namespace
