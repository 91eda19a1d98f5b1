#include "batch.h"

#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace vorden::tools {

namespace fs = std::filesystem;

// ---- Listing folders ----

namespace {

bool is_image_name(const fs::path& path) {
    std::string extension = path.extension().string();
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char* known : {".png", ".jpg", ".jpeg", ".bmp", ".pgm", ".ppm", ".pnm"})
        if (extension == known) return true;
    return false;
}

std::string lower_first(std::string text) {
    if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

void list_folder(const fs::path& folder, std::vector<Input>& out) {
    std::error_code error;
    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        entries.push_back(*it);
    if (error) {
        out.push_back({folder.string(), "cannot read folder: " + lower_first(error.message())});
        return;
    }
    std::sort(entries.begin(), entries.end(),
              [](const fs::directory_entry& a, const fs::directory_entry& b) { return a.path() < b.path(); });
    for (const fs::directory_entry& entry : entries) {
        std::error_code ignored;
        if (entry.is_directory(ignored) && !entry.is_symlink(ignored)) {
            list_folder(entry.path(), out);
        } else if (is_image_name(entry.path()) && !entry.is_directory(ignored)) {
            out.push_back({entry.path().string(), ""});
        }
    }
}

}  // namespace

std::vector<Input> list_inputs(const std::vector<std::string>& paths, bool recursive) {
    std::vector<Input> inputs;
    for (const std::string& path : paths) {
        std::error_code ignored;
        if (recursive && path != "-" && fs::is_directory(path, ignored)) {
            list_folder(path, inputs);
        } else {
            inputs.push_back({path, ""});
        }
    }
    return inputs;
}

// ---- Capturing a run's output ----

namespace {

template <int kStream>
ssize_t append_chunk(void* cookie, const char* data, size_t size) {
    std::vector<Record::Chunk>& chunks = static_cast<Record*>(cookie)->chunks;
    if (chunks.empty() || chunks.back().stream != kStream) chunks.push_back({kStream, ""});
    chunks.back().bytes.append(data, size);
    return static_cast<ssize_t>(size);
}

FILE* open_chunks(Record& record, cookie_write_function_t* write) {
    FILE* stream = fopencookie(&record, "w", {nullptr, write, nullptr, nullptr});
    if (stream == nullptr) throw std::system_error(errno, std::generic_category(), "fopencookie");
    std::setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}

}  // namespace

Capture::Capture(Record& record)
    : out_(open_chunks(record, append_chunk<1>)), err_(open_chunks(record, append_chunk<2>)) {}

Capture::~Capture() {
    std::fclose(out_);
    std::fclose(err_);
}

int available_cores() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
    return static_cast<int>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
}

// ---- Worker processes ----

namespace {

bool write_all(int fd, const void* data, size_t size) {
    const char* at = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t wrote = write(fd, at, size);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        at += wrote;
        size -= static_cast<size_t>(wrote);
    }
    return true;
}

bool read_all(int fd, void* data, size_t size) {
    char* at = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t got = read(fd, at, size);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        at += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

// A record on the pipe: code, number of chunks, then each chunk's stream,
// length and bytes.
bool send(int fd, const Record& record) {
    const int32_t head[2] = {record.code, static_cast<int32_t>(record.chunks.size())};
    if (!write_all(fd, head, sizeof head)) return false;
    for (const Record::Chunk& chunk : record.chunks) {
        const uint64_t meta[2] = {static_cast<uint64_t>(chunk.stream), chunk.bytes.size()};
        if (!write_all(fd, meta, sizeof meta) || !write_all(fd, chunk.bytes.data(), chunk.bytes.size()))
            return false;
    }
    return true;
}

bool receive(int fd, Record& record) {
    int32_t head[2];
    if (!read_all(fd, head, sizeof head) || head[1] < 0) return false;
    record.code = head[0];
    record.chunks.resize(static_cast<size_t>(head[1]));
    for (Record::Chunk& chunk : record.chunks) {
        uint64_t meta[2];
        if (!read_all(fd, meta, sizeof meta) || meta[1] > (uint64_t{1} << 40)) return false;
        chunk.stream = static_cast<int>(meta[0]);
        chunk.bytes.resize(meta[1]);
        if (!read_all(fd, chunk.bytes.data(), chunk.bytes.size())) return false;
    }
    return true;
}

struct Worker {
    pid_t pid = -1;
    int fd = -1;  // the read end of its pipe
};

std::string ending_of(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status)) {
        return "worker process killed by signal " + std::to_string(WTERMSIG(status)) + " (" +
               strsignal(WTERMSIG(status)) + ")";
    }
    return "worker process ended early, with status " + std::to_string(WEXITSTATUS(status));
}

// Forks a worker that produces inputs first, first + step, ... below count.
Worker start_worker(size_t first, size_t step, size_t count, const std::vector<Worker>& others,
                    const std::function<Record(size_t)>& produce) {
    int fds[2];
    if (pipe(fds) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
    // What this process has buffered must not be written twice.
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
    if (pid == 0) {
        close(fds[0]);
        for (const Worker& w : others)
            if (w.fd >= 0) close(w.fd);
        int code = 0;
        for (size_t i = first; i < count && code == 0; i += step) code = send(fds[1], produce(i)) ? 0 : 1;
        // _exit, so that nothing the parent had buffered is flushed again.
        _exit(code);
    }
    close(fds[1]);
    return {pid, fds[0]};
}

}  // namespace

void run_in_order(size_t count, int jobs, const std::function<Record(size_t)>& produce,
                  const std::function<void(size_t, Record&)>& consume) {
    const size_t n = std::min(count, static_cast<size_t>(std::max(1, jobs)));
    if (n <= 1) {
        for (size_t i = 0; i < count; ++i) {
            Record record = produce(i);
            consume(i, record);
        }
        return;
    }
    std::vector<Worker> workers;
    for (size_t k = 0; k < n; ++k) workers.push_back(start_worker(k, n, count, workers, produce));
    for (size_t i = 0; i < count; ++i) {
        Worker& w = workers[i % n];
        Record record;
        if (!receive(w.fd, record)) {
            close(w.fd);
            w.fd = -1;
            kill(w.pid, SIGKILL);
            record = Record{};
            record.lost = ending_of(w.pid);
            if (i + n < count)
                w = start_worker(i + n, n, count, workers, produce);
            else
                w = Worker{};
        }
        consume(i, record);
    }
    for (const Worker& w : workers) {
        if (w.pid < 0) continue;
        close(w.fd);
        while (waitpid(w.pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

}  // namespace vorden::tools
