// Collects what a function prints to a FILE* into a string.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

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
