#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "measure/measure.h"
#include "shell/result.h"

// Every photograph is measured in a process of its own, forked from a
// parent that never runs the analysis: the analysis keeps its records in
// single static places, and a fresh copy of the untouched parent gives each
// photograph the state of a freshly started dialog, whatever ran before and
// whatever runs beside it. The record comes back through a pipe.

// The command's own words for a worker that ended without its record.
static const char kMessageWorkerLost[] = "the measurement of this photograph ended abnormally";
static const char kMessageNoFolder[] = "can not create the preview folder";

struct Worker {
    pid_t pid;
    int fd;          // read end of the worker's pipe
    int32_t index;   // photograph
    size_t received; // bytes of the record so far
};

int32_t DefaultJobs()
{
    long cores = sysconf(_SC_NPROCESSORS_ONLN);
    if (cores < 1)
        return 1;
    return cores > kMaxJobs ? kMaxJobs : static_cast<int32_t>(cores);
}

static int WriteAll(int fd, const void *bytes, size_t count)
{
    const char *p = static_cast<const char *>(bytes);
    while (count > 0) {
        ssize_t n = write(fd, p, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 0;
        p += n;
        count -= static_cast<size_t>(n);
    }
    return 1;
}

static void LoseWorker(PhotoRecord *record)
{
    std::memset(record, 0, sizeof *record);
    record->code = kExitNoResult;
    std::strncpy(record->message, kMessageWorkerLost, kRecordMessageSize - 1);
}

// 1 with the worker running; 0 when no process could be started, the
// photograph then measured here (still from a clean analysis state).
static int StartWorker(const MeasureOptions &options, char **previews, int32_t index, Worker *worker)
{
    int ends[2];
    if (pipe(ends) != 0)
        return 0;
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        close(ends[0]);
        close(ends[1]);
        return 0;
    }
    if (pid == 0) {
        close(ends[0]);
        PhotoRecord record;
        MeasurePhoto(options.photos[index], options, previews ? previews[index] : nullptr, &record);
        // _exit: the parent's stdio buffers are the parent's to flush.
        _exit(WriteAll(ends[1], &record, sizeof record) ? 0 : 1);
    }
    close(ends[1]);
    worker->pid = pid;
    worker->fd = ends[0];
    worker->index = index;
    worker->received = 0;
    return 1;
}

// Reads what the worker sent; 1 when its pipe has closed and the worker is
// gone, its record then complete (or marked lost).
static int ReadWorker(Worker *worker, PhotoRecord *records)
{
    char *target = reinterpret_cast<char *>(&records[worker->index]);
    ssize_t n = read(worker->fd, target + worker->received, sizeof(PhotoRecord) - worker->received);
    if (n < 0 && errno == EINTR)
        return 0;
    if (n > 0) {
        worker->received += static_cast<size_t>(n);
        if (worker->received < sizeof(PhotoRecord))
            return 0;
    }
    close(worker->fd);
    int status = 0;
    while (waitpid(worker->pid, &status, 0) < 0 && errno == EINTR) {
    }
    int clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (worker->received != sizeof(PhotoRecord) || !clean)
        LoseWorker(&records[worker->index]);
    return 1;
}

static int EnsureFolder(const char *path)
{
    struct stat info;
    if (stat(path, &info) == 0)
        return S_ISDIR(info.st_mode);
    return mkdir(path, 0777) == 0;
}

int MeasureBatch(const MeasureOptions &options)
{
    const int32_t count = options.photoCount;
    std::vector<PhotoRecord> records(count);
    std::vector<char> done(count, 0);
    std::vector<char *> previews(count, nullptr);
    if (options.previewFolder != nullptr) {
        if (!EnsureFolder(options.previewFolder)) {
            std::fprintf(stderr, "quillmarsh-measure: %s %s\n", kMessageNoFolder, options.previewFolder);
            return kExitNoResult;
        }
        MakePreviewPaths(options, previews.data());
    }
    char **previewPaths = options.previewFolder != nullptr ? previews.data() : nullptr;
    const int progress = isatty(STDERR_FILENO);
    const auto start = std::chrono::steady_clock::now();

    int32_t jobs = options.jobs < count ? options.jobs : count;
    std::vector<Worker> workers;
    std::vector<pollfd> waits;
    int32_t next = 0, printed = 0, finished = 0;
    if (options.format == kFormatCsv)
        PrintCsvHeader(stdout);
    while (printed < count) {
        while (static_cast<int32_t>(workers.size()) < jobs && next < count) {
            Worker worker;
            if (StartWorker(options, previewPaths, next, &worker)) {
                workers.push_back(worker);
            } else {
                MeasurePhoto(options.photos[next], options, previewPaths ? previewPaths[next] : nullptr,
                             &records[next]);
                done[next] = 1;
                finished++;
            }
            next++;
        }
        if (!workers.empty()) {
            waits.assign(workers.size(), pollfd{});
            for (size_t w = 0; w < workers.size(); w++) {
                waits[w].fd = workers[w].fd;
                waits[w].events = POLLIN;
            }
            if (poll(waits.data(), waits.size(), -1) < 0 && errno != EINTR)
                break;
            for (size_t w = workers.size(); w-- > 0;) {
                if (waits[w].revents == 0)
                    continue;
                if (ReadWorker(&workers[w], records.data())) {
                    done[workers[w].index] = 1;
                    finished++;
                    workers.erase(workers.begin() + static_cast<long>(w));
                }
            }
        }
        while (printed < count && done[printed]) {
            PrintRecord(stdout, options, options.photos[printed], records[printed]);
            printed++;
        }
        std::fflush(stdout);
        if (progress) {
            std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
            PrintProgress(stderr, finished, count, elapsed.count());
        }
    }
    for (char *path : previews)
        delete[] path;
    return BatchExitCode(records.data(), count);
}
