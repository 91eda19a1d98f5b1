// Batches for vorden-decode: the files under folders, and worker processes
// whose results come out in input order. Processes rather than threads,
// because the decoder keeps one process-wide state.
#ifndef VORDEN_TOOLS_BATCH_H
#define VORDEN_TOOLS_BATCH_H

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace vorden::tools {

// One input to decode; `error` set when it could not even be listed (an
// unreadable folder), so that it is reported in its place in the order.
struct Input {
    std::string path;
    std::string error;
};

// The paths as given, except that with `recursive` a folder stands for the
// image files beneath it (by their extension: png, jpg, jpeg, bmp, pgm, ppm,
// pnm, in any case), each folder's entries sorted by name; a folder without
// any stands for itself, with an error. Links to files are followed, links
// to folders are not, so no loop can form.
std::vector<Input> list_inputs(const std::vector<std::string>& paths, bool recursive);

// What one input's run wrote, in the order it was written.
struct Record {
    struct Chunk {
        int stream;  // 1 standard output, 2 standard error
        std::string bytes;
    };
    int code = 0;
    std::vector<Chunk> chunks;
    std::string lost;  // set when the worker process ended before giving it: why
};

// Two unbuffered streams that append to a record, so that what goes to
// either one keeps its place against the other.
class Capture {
  public:
    explicit Capture(Record& record);
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;
    FILE* out() const { return out_; }
    FILE* err() const { return err_; }

  private:
    FILE* out_;
    FILE* err_;
};

// The cores this process may run on.
int available_cores();

// Calls produce(i) for each i below `count` and hands each record to
// consume(i, record) in the order of i. With more than one job, produce runs
// in that many worker processes forked from this one, each taking the next
// input as it finishes one; a worker that dies loses the input it was on
// (its record comes with `lost` set) and a new one takes its place.
void run_in_order(size_t count, int jobs, const std::function<Record(size_t)>& produce,
                  const std::function<void(size_t, Record&)>& consume);

}  // namespace vorden::tools

#endif
