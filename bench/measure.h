// Clocks, medians, and a runner that keeps work which may never end in a
// child process with a time limit, for the benchmark sections.
#ifndef VORDEN_BENCH_MEASURE_H
#define VORDEN_BENCH_MEASURE_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vorden::bench {

// ---- Clocks ----

double wall_ms();         // steady clock
double thread_cpu_ms();   // the calling thread's CPU time
double process_cpu_ms();  // every thread of the process

struct Timing {
    double wall_ms = 0;
    double cpu_ms = 0;  // the calling thread's
};

template <typename F>
Timing timed(F&& work) {
    const double wall0 = wall_ms(), cpu0 = thread_cpu_ms();
    work();
    return {wall_ms() - wall0, thread_cpu_ms() - cpu0};
}

// ---- Order statistics ----

// The value at fraction q of the sorted values (0.5: the median, the upper
// one of an even count's middle pair); 0 for none.
double quantile(std::vector<double> values, double q);
inline double median(std::vector<double> values) {
    return quantile(std::move(values), 0.5);
}

// ---- Rounds in a child process under a time limit ----

// One round of work as the child reports it.
struct Round {
    double wall_ms = 0;
    double cpu_ms = 0;
    int32_t read = 0;         // non-zero: the decoder read a text
    uint64_t peak_bytes = 0;  // vorden's heap at its highest during the call
    uint64_t kept_bytes = 0;  // freed blocks vorden keeps after the call
};

struct Limited {
    std::vector<Round> rounds;  // those that ended
    bool timed_out = false;     // a round ran past the limit and was killed
    bool crashed = false;       // the child died otherwise
    double median_wall() const;
    double median_cpu() const;
};

// Runs `round` in a forked child up to `rounds` times, stopping early once
// the rounds' wall time adds up to `limit_ms`. A round still running
// `limit_ms` after the previous one ended is killed. Work that may take
// minutes (or never end) cannot stall the benchmark that way, and a crash
// costs only its own figure.
Limited run_limited(int rounds, double limit_ms, const std::function<Round()>& round);

// "12.345", or ">5 s" for a killed round, "crash" for a dead child.
std::string limited_ms_text(const Limited& result, double limit_ms);

}  // namespace vorden::bench

#endif
