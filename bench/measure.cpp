// Clocks, order statistics and the time-limited child runner.
#include "measure.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

namespace vorden::bench {

// ---- Clocks ----

namespace {

double clock_ms(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) * 1e-6;
}

}  // namespace

double wall_ms() {
    return clock_ms(CLOCK_MONOTONIC);
}

double thread_cpu_ms() {
    return clock_ms(CLOCK_THREAD_CPUTIME_ID);
}

double process_cpu_ms() {
    return clock_ms(CLOCK_PROCESS_CPUTIME_ID);
}

// ---- Order statistics ----

double quantile(std::vector<double> values, double q) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto i = static_cast<size_t>(q * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(i, values.size() - 1)];
}

double Limited::median_wall() const {
    std::vector<double> v;
    for (const Round& r : rounds) v.push_back(r.wall_ms);
    return median(std::move(v));
}

double Limited::median_cpu() const {
    std::vector<double> v;
    for (const Round& r : rounds) v.push_back(r.cpu_ms);
    return median(std::move(v));
}

// ---- Rounds in a child process under a time limit ----

namespace {

[[noreturn]] void child_rounds(int out, int rounds, double limit_ms, const std::function<Round()>& round) {
    double spent = 0;
    for (int k = 0; k < rounds && spent < limit_ms; ++k) {
        const Round r = round();
        spent += r.wall_ms;
        // A record is far below PIPE_BUF, so the parent reads it whole.
        if (write(out, &r, sizeof r) != static_cast<ssize_t>(sizeof r)) break;
    }
    // No exit handlers: the parent's static objects are the parent's to end.
    _exit(0);
}

// Reads the child's records until it closes the pipe; false when a round
// outlasts the limit.
bool read_rounds(int in, double limit_ms, std::vector<Round>& rounds) {
    double deadline = wall_ms() + limit_ms;
    for (;;) {
        pollfd p{in, POLLIN, 0};
        const int wait = static_cast<int>(std::max(0.0, deadline - wall_ms()));
        const int ready = poll(&p, 1, wait);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) return false;
        Round r;
        const ssize_t got = read(in, &r, sizeof r);
        if (got < 0 && errno == EINTR) continue;
        if (got != static_cast<ssize_t>(sizeof r)) return true;  // closed (or cut short: a crash)
        rounds.push_back(r);
        deadline = wall_ms() + limit_ms;
    }
}

}  // namespace

Limited run_limited(int rounds, double limit_ms, const std::function<Round()>& round) {
    Limited result;
    int fds[2];
    if (pipe(fds) != 0) {
        std::perror("vorden-bench: pipe");
        result.crashed = true;
        return result;
    }
    // Whatever is buffered would otherwise be written twice.
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        child_rounds(fds[1], rounds, limit_ms, round);
    }
    close(fds[1]);
    if (child < 0) {
        std::perror("vorden-bench: fork");
        close(fds[0]);
        result.crashed = true;
        return result;
    }
    result.timed_out = !read_rounds(fds[0], limit_ms, result.rounds);
    close(fds[0]);
    if (result.timed_out) kill(child, SIGKILL);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!result.timed_out) result.crashed = !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    return result;
}

std::string limited_ms_text(const Limited& result, double limit_ms) {
    char text[32];
    if (result.timed_out) {
        std::snprintf(text, sizeof text, ">%g s", limit_ms / 1000);
    } else if (result.crashed || result.rounds.empty()) {
        std::snprintf(text, sizeof text, "crash");
    } else {
        std::snprintf(text, sizeof text, "%.3f", result.median_wall());
    }
    return text;
}

}  // namespace vorden::bench
