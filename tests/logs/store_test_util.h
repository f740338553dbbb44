// Helpers for the store tests: a temporary directory removed with its files,
// whole-file reads and writes, and a UTC time zone.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace store_test {

struct temp_dir {
    std::string path;
    temp_dir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "fpigate-store-XXXXXX").string();
        path = ::mkdtemp(tmpl.data());
    }
    ~temp_dir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

inline std::vector<uint8_t> read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

inline uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}

inline uint64_t le64(const std::vector<uint8_t>& b, size_t at) {
    return uint64_t(le32(b, at)) | uint64_t(le32(b, at + 4)) << 32;
}

inline void use_utc() {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
}

}  // namespace store_test
