// measure PROGRAM [ARGS...]: runs the program and prints its CPU time (user
// + sys, seconds) and peak resident memory (KiB) from wait4. The benchmark
// starts programs through this small process: a child forked straight from
// Python would count Python's own pages in its peak memory.
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <fcntl.h>

#include <cerrno>
#include <cstdio>

extern char** environ;

namespace {

pid_t child = 0;

// SIGTERM for us is meant for the program measured.
void Forward(int signal) {
    if (child > 0) kill(child, signal);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: measure PROGRAM [ARGS...]\n");
        return 2;
    }
    signal(SIGTERM, Forward);
    // The program's own output would mix with the report.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (posix_spawnp(&child, argv[1], &actions, nullptr, argv + 1, environ) != 0) {
        std::perror(argv[1]);
        return 127;
    }
    int status = 0;
    rusage usage{};
    while (wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("%.6f %ld\n", cpu, usage.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
