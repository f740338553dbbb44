// The main of a benchmark whose subject prints like the daemon: the results
// go to the original standard output, the subject's printout (line-buffered,
// as in the daemon) to the file named by the environment variable `log_env`,
// or to /dev/null.
#pragma once

#include <benchmark/benchmark.h>
#include <ext/stdio_filebuf.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

// Sends standard output to the file named by `log_env` (or /dev/null),
// line-buffered, and returns a descriptor of the original standard output
// for the results; -1 on failure.
inline int detach_stdout(const char* log_env) {
    const int results_fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (results_fd < 0) return -1;
    const char* log = std::getenv(log_env);
    const int log_fd = ::open(log && *log ? log : "/dev/null", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (log_fd >= 0) {
        ::dup2(log_fd, STDOUT_FILENO);
        ::close(log_fd);
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return results_fd;
}

inline int run_benchmarks_quietly(int argc, char** argv, const char* log_env) {
    const int results_fd = detach_stdout(log_env);
    if (results_fd < 0) return 1;
    __gnu_cxx::stdio_filebuf<char> results(results_fd, std::ios::out);
    std::streambuf* const original = std::cout.rdbuf(&results);

    benchmark::Initialize(&argc, argv);
    int status = 0;
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        status = 1;
    else
        benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::cout.flush();
    std::cout.rdbuf(original);
    return status;
}
