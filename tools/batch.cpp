#include "batch.h"

#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <system_error>

#include "image_input.h"

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

void list_folder(const fs::path& folder, std::vector<Input>& out) {
    std::error_code error;
    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        entries.push_back(*it);
    if (error) {
        out.push_back({folder.string(), "cannot read folder: " + errno_text(error.value())});
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
            const size_t before = inputs.size();
            list_folder(path, inputs);
            // A folder named in vain is most likely a mistake in the command.
            if (inputs.size() == before) inputs.push_back({path, "no image files in the folder"});
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
    int fd = -1;              // our end of its socket: inputs out, records in
    size_t input = SIZE_MAX;  // the input it is on
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

// A worker decodes the inputs it is sent, one at a time, until its socket
// closes.
Worker start_worker(const std::vector<Worker>& others, const std::function<Record(size_t)>& produce) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        throw std::system_error(errno, std::generic_category(), "socketpair");
    // What this process has buffered must not be written twice.
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
    if (pid == 0) {
        close(fds[0]);
        for (const Worker& w : others)
            if (w.fd >= 0) close(w.fd);
        uint64_t input = 0;
        int code = 0;
        while (code == 0 && read_all(fds[1], &input, sizeof input))
            code = send(fds[1], produce(static_cast<size_t>(input))) ? 0 : 1;
        // _exit, so that nothing the parent had buffered is flushed again.
        _exit(code);
    }
    close(fds[1]);
    return {pid, fds[0]};
}

// Sends the worker its next input, or closes its socket when none is left.
// MSG_NOSIGNAL: a worker that has died must not take this process with it;
// its end of the socket then reads as closed.
void hand_out(Worker& w, size_t& next, size_t count) {
    if (next < count) {
        const uint64_t input = next;
        w.input = next++;
        if (::send(w.fd, &input, sizeof input, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof input)) return;
    }
    shutdown(w.fd, SHUT_WR);
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
    // Each worker takes the next input as it finishes one, so that a slow
    // file holds up only its own worker; records wait here until their turn.
    std::vector<Worker> workers;
    size_t next = 0, written = 0;
    for (size_t k = 0; k < n; ++k) {
        workers.push_back(start_worker(workers, produce));
        hand_out(workers.back(), next, count);
    }
    std::map<size_t, Record> waiting;
    while (written < count) {
        std::vector<pollfd> polled;
        for (const Worker& w : workers)
            if (w.input != SIZE_MAX) polled.push_back({w.fd, POLLIN, 0});
        if (poll(polled.data(), polled.size(), -1) < 0 && errno != EINTR)
            throw std::system_error(errno, std::generic_category(), "poll");
        for (Worker& w : workers) {
            const auto p =
                std::find_if(polled.begin(), polled.end(), [&](const pollfd& q) { return q.fd == w.fd; });
            if (w.input == SIZE_MAX || p == polled.end() || p->revents == 0) continue;
            Record& record = waiting[w.input];
            if (receive(w.fd, record)) {
                w.input = SIZE_MAX;
                hand_out(w, next, count);
                continue;
            }
            record = Record{};
            close(w.fd);
            kill(w.pid, SIGKILL);
            record.lost = ending_of(w.pid);
            w = Worker{};
            if (next < count) {
                w = start_worker(workers, produce);
                hand_out(w, next, count);
            }
        }
        for (auto it = waiting.begin(); it != waiting.end() && it->first == written; it = waiting.erase(it)) {
            consume(written, it->second);
            ++written;
        }
    }
    for (const Worker& w : workers) {
        if (w.pid < 0) continue;
        close(w.fd);
        while (waitpid(w.pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

}  // namespace vorden::tools
