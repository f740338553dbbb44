// A temporary folder of a test, a benchmark or a fuzz target, removed with
// everything in it at the end.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace test_support {

struct temp_dir {
    // disk: the system's temporary folder; memory: /dev/shm where there is
    // one (tmpfs), for runs that write much and are not about the flash.
    enum where { disk, memory };

    std::filesystem::path path;  // empty when it could not be made
    bool keep = false;           // left in place at the end

    explicit temp_dir(const std::string& prefix = "fpigate", where w = disk) {
        std::filesystem::path base = std::filesystem::temp_directory_path();
        struct stat st {};
        if (w == memory && ::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && ::access("/dev/shm", W_OK) == 0)
            base = "/dev/shm";
        std::string t = (base / (prefix + "-XXXXXX")).string();
        if (::mkdtemp(t.data())) path = t;
    }
    ~temp_dir() {
        std::error_code ec;
        if (!keep && !path.empty()) std::filesystem::remove_all(path, ec);
    }
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    // The path of `name` inside, as a string.
    std::string operator/(const std::string& name) const { return (path / name).string(); }
};

}  // namespace test_support
