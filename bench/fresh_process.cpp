// The fresh-process figure: vorden-decode started once per file, as a script
// over a folder of images runs it, first call and process start included;
// zbarimg the same way when it is installed.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

#include "batch.h"
#include "sections.h"

extern char** environ;

namespace vorden::bench {

namespace {

// ---- One process ----

struct Run {
    int error = 0;  // why it did not start
    bool started = false;
    bool timed_out = false;
    int status = -1;  // the exit status
    double wall_ms = 0;
    double cpu_ms = 0;  // the child's user and system time
    std::string out;    // its standard output
};

// Reads standard output until the child closes it; false past the deadline.
bool drain(int in, double deadline, std::string& out) {
    char buffer[4096];
    for (;;) {
        pollfd p{in, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(std::max(0.0, deadline - wall_ms())));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) return false;
        const ssize_t got = read(in, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return true;
        out.append(buffer, static_cast<size_t>(got));
    }
}

// Runs the program (looked up on PATH) with its standard error discarded.
Run spawn(const std::vector<std::string>& args, double limit_ms) {
    Run run;
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int fds[2];
    if (pipe(fds) != 0) {
        run.error = errno;
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const double start = wall_ms();
    pid_t child = 0;
    run.error = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (run.error == 0) {
        run.started = true;
        run.timed_out = !drain(fds[0], start + limit_ms, run.out);
        if (run.timed_out) kill(child, SIGKILL);
        int status = 0;
        rusage usage{};
        while (wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
        }
        run.wall_ms = wall_ms() - start;
        run.cpu_ms = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                     (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-3;
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    close(fds[0]);
    return run;
}

// ---- The files ----

// The generated corpus written as PNG files into a fresh temporary folder,
// removed again when this goes.
class TempFolder {
  public:
    explicit TempFolder(const std::vector<Sample>& corpus) {
        std::string pattern = (std::filesystem::temp_directory_path() / "vorden-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) return;
        path_ = pattern;
        for (size_t i = 0; i < corpus.size(); ++i) {
            const GreyImage& g = corpus[i].image;
            const std::string file = path_ + "/" + std::to_string(i) + "-" + corpus[i].name + ".png";
            if (!stbi_write_png(file.c_str(), g.width, g.height, 1, g.pixels.data(), g.width)) {
                std::fprintf(stderr, "vorden-bench: cannot write %s\n", file.c_str());
                continue;
            }
            files_.push_back(file);
        }
    }
    ~TempFolder() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::vector<std::string>& files() const { return files_; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    std::vector<std::string> files_;
};

// ---- The tools ----

struct Tool {
    const char* name;
    const char* source;                        // where it comes from, for the note when it cannot start
    std::vector<std::string> args;             // the file goes last
    std::vector<double> wall, cpu, decode_ms;  // per file: the median of its rounds
    int read = 0, timed_out = 0;
    int error = 0;  // non-zero: it could not start, and is left out
};

// The "milliseconds" vorden-decode --json gives for the decode_symbol call.
double json_milliseconds(const std::string& out) {
    const size_t at = out.find("\"milliseconds\":");
    return at == std::string::npos ? 0 : std::atof(out.c_str() + at + 15);
}

// Every tool on one file in each round, the order rotating with the round.
void time_file(const Options& o, const std::string& file, size_t index, std::vector<Tool>& tools) {
    std::vector<std::vector<Run>> runs(tools.size());
    for (int round = 0; round < o.repeat; ++round) {
        for (size_t turn = 0; turn < tools.size(); ++turn) {
            const size_t k = (index + turn + static_cast<size_t>(round)) % tools.size();
            if (tools[k].error != 0) continue;
            std::vector<std::string> args = tools[k].args;
            args.push_back(file);
            const Run run = spawn(args, o.limit_ms);
            tools[k].error = run.error;
            if (run.started) runs[k].push_back(run);
        }
    }
    for (size_t k = 0; k < tools.size(); ++k) {
        if (runs[k].empty()) continue;
        std::vector<double> wall, cpu, decode;
        for (const Run& r : runs[k]) {
            wall.push_back(r.wall_ms);
            cpu.push_back(r.cpu_ms);
            decode.push_back(json_milliseconds(r.out));
            tools[k].timed_out += r.timed_out;
        }
        tools[k].wall.push_back(median(wall));
        tools[k].cpu.push_back(median(cpu));
        tools[k].decode_ms.push_back(median(decode));
        tools[k].read += runs[k][0].status == 0;
    }
}

void print_tools(const std::vector<Tool>& tools, size_t files, int rounds) {
    std::printf(
        "\nFresh process per file: %zu files, %d rounds, the tools interleaved per file. Per file the\n"
        "median of its rounds, then the median (p95) over the files; wall time from the start of the\n"
        "process to its end, CPU time of the process. Read: the tool found a symbol (exit status 0).\n"
        "decode call: what vorden-decode --json reports for decode_symbol, its process's first call.\n\n"
        "| tool          | files | read | wall ms / file | p95 wall | CPU ms / file | decode call ms |\n"
        "|---------------|------:|-----:|---------------:|---------:|--------------:|---------------:|\n",
        files, rounds);
    for (const Tool& t : tools) {
        if (t.wall.empty()) continue;
        char decode[16] = "-";
        if (std::strcmp(t.name, "vorden-decode") == 0) {
            std::snprintf(decode, sizeof decode, "%.3f", median(t.decode_ms));
        }
        std::printf("| %-13s | %5zu | %4d | %14.2f | %8.2f | %13.2f | %14s |\n", t.name, t.wall.size(),
                    t.read, median(t.wall), quantile(t.wall, 0.95), median(t.cpu), decode);
    }
    for (const Tool& t : tools) {
        if (t.timed_out > 0) std::printf("\n%s: %d runs killed after the time limit.\n", t.name, t.timed_out);
        if (t.error != 0) {
            std::printf("\n%s: left out, it could not be started (%s; %s).\n", t.name, std::strerror(t.error),
                        t.source);
        }
    }
}

// ---- Batches ----

// 2,000 frames: the generated and the thorough corpora, then ordinary
// frames at varied angles and module sizes, so that no two are alike.
std::vector<Sample> batch_corpus() {
    std::vector<Sample> corpus = generated_corpus(), thorough = thorough_corpus();
    corpus.insert(corpus.end(), thorough.begin(), thorough.end());
    for (int i = 0; corpus.size() < 2000; ++i) {
        Sample s = symbol_frame(640, 480, 3 + i % 5, (i * 37) % 360 + 0.5 * (i % 2));
        s.name = "frame-" + std::to_string(i);
        corpus.push_back(std::move(s));
    }
    return corpus;
}

struct BatchRuns {
    std::vector<double> wall, cpu;
    std::string out;  // of the first round
    int status = -1;
    bool complete = true;  // every round started and ended within the limit
};

}  // namespace

// vorden-decode -r over one folder with one worker and with two, the two
// taking turns round by round; the outputs must be the same.
void batch_section(const Options& o) {
    std::unique_ptr<TempFolder> temp;
    std::string folder = o.folder;
    size_t files = 0;
    if (folder.empty()) {
        temp = std::make_unique<TempFolder>(batch_corpus());
        folder = temp->path();
        files = temp->files().size();
    } else {
        files = tools::list_inputs({folder}, true).size();
    }
    const std::vector<int> jobs = {1, 2};
    std::vector<BatchRuns> runs(jobs.size());
    for (int round = 0; round < o.repeat; ++round) {
        for (size_t turn = 0; turn < jobs.size(); ++turn) {
            const size_t k = (turn + static_cast<size_t>(round)) % jobs.size();
            const Run run = spawn({VORDEN_DECODE_TOOL, "-r", "--jobs", std::to_string(jobs[k]), folder},
                                  std::max(o.limit_ms, 600e3));
            if (!run.started || run.timed_out) runs[k].complete = false;
            if (!run.started) continue;
            runs[k].wall.push_back(run.wall_ms);
            runs[k].cpu.push_back(run.cpu_ms);
            if (runs[k].status < 0) {
                runs[k].status = run.status;
                runs[k].out = run.out;
            }
        }
    }
    std::printf(
        "\nBatch: vorden-decode -r over %s (%zu files), %d rounds, the job counts taking turns; the median\n"
        "wall time of the whole run, its processes' CPU time, and throughput against one job.\n\n"
        "| jobs | wall s | CPU s | files / s | throughput x | output as with 1 job |\n"
        "|-----:|-------:|------:|----------:|-------------:|----------------------|\n",
        o.folder.empty() ? "2,000 generated PNG frames" : o.folder.c_str(), files, o.repeat);
    for (size_t k = 0; k < jobs.size(); ++k) {
        if (runs[k].wall.empty()) continue;
        const double wall = median(runs[k].wall) / 1e3;
        const bool same = runs[k].out == runs[0].out && runs[k].status == runs[0].status;
        std::printf("| %4d | %6.2f | %5.2f | %9.0f | %12.2f | %-20s |\n", jobs[k], wall,
                    median(runs[k].cpu) / 1e3, static_cast<double>(files) / wall,
                    median(runs[0].wall) / median(runs[k].wall), same ? "same" : "DIFFERENT");
    }
    for (size_t k = 0; k < jobs.size(); ++k) {
        if (!runs[k].complete) std::printf("\n--jobs %d: a round did not start or was killed.\n", jobs[k]);
    }
}

void fresh_process_section(const Options& o, const std::vector<Sample>& corpus) {
    std::vector<std::string> files;
    std::unique_ptr<TempFolder> temp;
    if (o.folder.empty()) {
        temp = std::make_unique<TempFolder>(corpus);
        files = temp->files();
    } else {
        for (const Sample& s : corpus) files.push_back(o.folder + "/" + s.name);
    }
    std::vector<Tool> tools(2);
    tools[0].name = "vorden-decode";
    tools[0].source = "the vorden-decode target of this build";
    tools[0].args = {VORDEN_DECODE_TOOL, "--json"};
    tools[1].name = "zbarimg";
    tools[1].source = "Debian package zbar-tools";
    tools[1].args = {"zbarimg",   "--quiet",         "--raw",          "--nodbus",
                     "-Sdisable", "-Sqrcode.enable", "-Sqrcode.binary"};
    for (size_t i = 0; i < files.size(); ++i) time_file(o, files[i], i, tools);
    print_tools(tools, files.size(), o.repeat);
}

}  // namespace vorden::bench
