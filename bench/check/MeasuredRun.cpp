// bench_check_run COMMAND...: runs COMMAND with its output thrown away and prints
// "<exit code> <wall microseconds> <peak resident KiB>". The benchmark starts every measured
// program through this small process: a child's peak memory (wait4's ru_maxrss) also counts
// the memory of the process it was forked from, and this one holds almost none, where the
// benchmark holds Qt and the test fixtures.
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_check_run COMMAND...\n");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execv(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid)
        return 2;
    const auto end = std::chrono::steady_clock::now();
    const long long us = std::chrono::duration_cast<std::chrono::microseconds>(end - start).count();
    std::printf("%d %lld %ld\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1, us, usage.ru_maxrss);
    return 0;
}
