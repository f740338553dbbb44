// What a program prints, caught: a FILE* of its own collected into a string,
// or a standard stream of the whole process sent to a file for a while.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/wait.h"

namespace test_support {

// Collects what a function prints to a FILE* into a string.
struct captured_output {
    char* data = nullptr;
    size_t size = 0;
    FILE* file = open_memstream(&data, &size);

    std::string text() {
        std::fflush(file);
        return std::string(data, size);
    }
    ~captured_output() {
        std::fclose(file);
        std::free(data);
    }
};

// A standard stream of the process (stdout, stderr) into a file until
// released, readable while threads go on printing; "/dev/null" silences it.
struct stream_tap {
    FILE* stream;
    int fd;
    std::string path;
    int saved = -1;

    stream_tap(FILE* s, std::string file) : stream(s), fd(::fileno(s)), path(std::move(file)) {
        std::fflush(stream);
        saved = ::dup(fd);
        const int f = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
        if (f >= 0) {
            ::dup2(f, fd);
            ::close(f);
        }
    }
    ~stream_tap() { release(); }
    stream_tap(const stream_tap&) = delete;
    stream_tap& operator=(const stream_tap&) = delete;

    // What was printed so far.
    std::string text() const {
        std::fflush(stream);
        std::ifstream in(path);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // Waits (bounded) until `what` was printed.
    bool wait_for_text(const std::string& what, std::chrono::milliseconds limit = std::chrono::seconds(20)) const {
        return wait_until([&] { return text().find(what) != std::string::npos; }, limit);
    }
    // Gives the stream back; what was printed until then.
    std::string release() {
        const std::string caught = text();
        if (saved >= 0) {
            ::dup2(saved, fd);
            ::close(saved);
            saved = -1;
        }
        return caught;
    }
};

}  // namespace test_support
