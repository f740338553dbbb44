// The OpenWrt package Makefile (packaging/openwrt/fpigate/Makefile), read as
// the OpenWrt build system reads its install lists: every file that a
// Package/<name>/install copies exists (binaries in this CMake build folder,
// the sample configuration in the sources, the init scripts beside the
// Makefile), the conffiles are installed, and each init script starts a
// program its package installs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path source_dir = FPIGATE_SOURCE_DIR;
const fs::path build_dir = FPIGATE_BUILD_DIR;
const fs::path package_dir = source_dir / "packaging/openwrt/fpigate";

std::string read_file(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// The Makefile's logical lines (continuations joined), its `define` blocks
// and the packages it builds.
struct package_makefile {
    std::map<std::string, std::vector<std::string>> blocks;
    std::vector<std::string> packages;  // $(eval $(call BuildPackage,NAME))

    explicit package_makefile(const fs::path& p) {
        std::istringstream in(read_file(p));
        std::vector<std::string> lines;
        std::string line, joined;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\\') {
                joined += line.substr(0, line.size() - 1) + " ";
                continue;
            }
            lines.push_back(joined + line);
            joined.clear();
        }
        std::string current;
        for (const std::string& l : lines) {
            const std::string t = trim(l);
            if (current.empty() && t.rfind("define ", 0) == 0) {
                current = trim(t.substr(7));
                blocks[current];
            } else if (!current.empty() && t == "endef") {
                current.clear();
            } else if (!current.empty()) {
                blocks[current].push_back(t);
            } else if (const auto at = t.find("$(call BuildPackage,"); at != std::string::npos) {
                const auto from = at + std::string("$(call BuildPackage,").size();
                packages.push_back(t.substr(from, t.find(')', from) - from));
            }
        }
    }
};

struct install_line {
    std::string command, source, destination;
};

// $(INSTALL_BIN) / $(INSTALL_CONF) / $(INSTALL_DATA) / $(CP) SRC $(1)/DEST
std::vector<install_line> install_lines(const std::vector<std::string>& block) {
    std::vector<install_line> out;
    for (const std::string& l : block) {
        std::istringstream words(l);
        std::vector<std::string> w;
        for (std::string x; words >> x;) w.push_back(x);
        if (w.empty() || w[0] == "$(INSTALL_DIR)") continue;
        if (w[0] == "$(INSTALL_BIN)" || w[0] == "$(INSTALL_CONF)" || w[0] == "$(INSTALL_DATA)" || w[0] == "$(CP)") {
            EXPECT_EQ(w.size(), 3u) << "one source and one destination per line: " << l;
            if (w.size() == 3) out.push_back({w[0], w[1], w[2]});
        } else {
            ADD_FAILURE() << "an install step this test does not know: " << l;
        }
    }
    return out;
}

// Where a source of an install line is on this machine, or empty.
fs::path local_path(const std::string& source) {
    const std::pair<const char*, fs::path> roots[] = {
        {"$(CMAKE_BINARY_DIR)/", build_dir},    // what CMake built
        {"$(PKG_BUILD_DIR)/", source_dir},      // the unpacked sources
        {"./files/", package_dir / "files"},    // beside the Makefile
    };
    for (const auto& [prefix, root] : roots)
        if (source.rfind(prefix, 0) == 0) return root / source.substr(std::string(prefix).size());
    return {};
}

// The installed path: the destination without the $(1) of the package root.
std::string installed_path(const std::string& destination) {
    return destination.rfind("$(1)/", 0) == 0 ? destination.substr(4) : "";
}

TEST(Packaging, EveryInstalledFileExistsAndEachInitScriptStartsAnInstalledProgram) {
    const package_makefile mk(package_dir / "Makefile");
    ASSERT_EQ(mk.packages, (std::vector<std::string>{"fpigate", "vpnwatch"}));

    std::map<std::string, std::set<std::string>> installed;  // package -> installed paths
    for (const std::string& pkg : mk.packages) {
        ASSERT_TRUE(mk.blocks.count("Package/" + pkg)) << pkg;
        ASSERT_TRUE(mk.blocks.count("Package/" + pkg + "/install")) << pkg;
        for (const install_line& i : install_lines(mk.blocks.at("Package/" + pkg + "/install"))) {
            const fs::path local = local_path(i.source);
            ASSERT_FALSE(local.empty()) << pkg << ": a source from no known folder: " << i.source;
            EXPECT_TRUE(fs::is_regular_file(local)) << pkg << ": " << i.source << " is not there (" << local << ")";
            if (i.command == "$(INSTALL_BIN)") {
                EXPECT_NE(fs::status(local).permissions() & fs::perms::owner_exec, fs::perms::none) << local;
            }
            const std::string path = installed_path(i.destination);
            ASSERT_FALSE(path.empty()) << pkg << ": a destination outside the package root: " << i.destination;
            EXPECT_TRUE(installed[pkg].insert(path).second) << pkg << ": " << path << " installed twice";
        }
    }

    // What a gateway needs from each package.
    EXPECT_EQ(installed["fpigate"],
              (std::set<std::string>{"/usr/sbin/fpigate", "/etc/init.d/fpigate", "/etc/config/fpigate"}));
    EXPECT_EQ(installed["vpnwatch"], (std::set<std::string>{"/usr/sbin/vpnwatch", "/etc/init.d/vpnwatch"}));

    // A configuration file kept across upgrades must be one the package installs.
    ASSERT_TRUE(mk.blocks.count("Package/fpigate/conffiles"));
    EXPECT_EQ(mk.blocks.at("Package/fpigate/conffiles"), (std::vector<std::string>{"/etc/config/fpigate"}));
    for (const auto& [name, lines] : mk.blocks) {
        const std::string suffix = "/conffiles";
        if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
        const std::string pkg = name.substr(8, name.size() - 8 - suffix.size());  // Package/<pkg>/conffiles
        for (const std::string& f : lines) EXPECT_TRUE(installed[pkg].count(f)) << pkg << " keeps " << f << " but does not install it";
    }

    // Each init script runs PROG (procd_set_param command "$PROG" ...) under procd.
    for (const std::string& pkg : mk.packages) {
        const std::string script = read_file(package_dir / "files" / (pkg + ".init"));
        EXPECT_EQ(script.rfind("#!/bin/sh /etc/rc.common\n", 0), 0u) << pkg;
        EXPECT_NE(script.find("\nUSE_PROCD=1\n"), std::string::npos) << pkg;
        EXPECT_NE(script.find("procd_set_param respawn"), std::string::npos) << pkg;
        EXPECT_NE(script.find("procd_set_param command \"$PROG\""), std::string::npos) << pkg;
        const auto at = script.find("\nPROG=");
        ASSERT_NE(at, std::string::npos) << pkg;
        const std::string prog = script.substr(at + 6, script.find('\n', at + 1) - at - 6);
        EXPECT_TRUE(installed[pkg].count(prog)) << pkg << ".init starts " << prog << ", which the package does not install";
    }
    // fpigate reads /etc/config/fpigate, the configuration the package installs.
    EXPECT_NE(read_file(package_dir / "files/fpigate.init").find("procd_set_param command \"$PROG\" -p /etc/config\n"),
              std::string::npos);
}

}  // namespace
