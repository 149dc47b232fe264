#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstring>
#include <vector>

#include "measure/measure.h"
#include "shell/report.h"
#include "shell/result.h"

// Photographs are measured in worker processes forked from a parent that
// never runs the analysis: the analysis keeps its records in single static
// places, so each worker holds its own, and MeasurePhoto starts every
// photograph from a clean state, so a worker's earlier photographs never
// reach a later one's numbers. A worker takes photograph indices from its
// task pipe and answers each with the record through its result pipe; it
// stays for the next photograph, which spares the start of a process and
// the first touch of its memory per photograph. A worker that dies (or is
// killed) loses only the photograph it had; a new one takes its place.

// The command's own words for a worker that ended without its record.
static const char kMessageWorkerLost[] = "the measurement of this photograph ended abnormally";
// A photograph still not measured after this long (seconds) has its worker
// stopped and is reported as lost: no file may hang the batch. The largest
// photograph takes well under a second.
static const double kPhotoTimeLimit = 60.0;
// How often the parent looks at the clock while it waits, milliseconds.
static const int kWaitSliceMs = 1000;

struct Worker {
    pid_t pid;
    int tasks;        // write end: photograph indices
    int results;      // read end: records
    int32_t index;    // photograph being measured, -1 when idle
    size_t received;  // bytes of its record so far
    double started;   // seconds on the steady clock when it got its photograph
};

int32_t DefaultJobs()
{
    long cores = sysconf(_SC_NPROCESSORS_ONLN);
    if (cores < 1)
        return 1;
    return cores > kMaxJobs ? kMaxJobs : static_cast<int32_t>(cores);
}

char **CommandLineWords(int argc, char **argv, int *count)
{
    *count = argc;
    return argv;
}

// Moves the whole count through the pipe, reading or writing; 1 when all of
// it moved, 0 at the end of the pipe or on an error.
static int MoveAll(int fd, void *bytes, size_t count, int reading)
{
    char *p = static_cast<char *>(bytes);
    while (count > 0) {
        ssize_t n = reading ? read(fd, p, count) : write(fd, p, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 0;
        p += n;
        count -= static_cast<size_t>(n);
    }
    return 1;
}

static void LoseRecord(const MeasureOptions &options, PhotoRecord *record)
{
    std::memset(record, 0, sizeof *record);
    record->threshold = options.threshold == kThresholdAuto ? kDefaultThreshold : options.threshold;
    record->code = kExitNoResult;
    std::strncpy(record->message, kMessageWorkerLost, kRecordMessageSize - 1);
}

static void RunWorker(const MeasureOptions &options, char **previews, char **exports, int tasks, int results)
{
    int32_t index;
    while (MoveAll(tasks, &index, sizeof index, 1)) {
        if (index < 0 || index >= options.photoCount)
            break;
        PhotoRecord record;
        MeasurePhoto(options.photos[index], options, previews ? previews[index] : nullptr, &record,
                     exports ? exports[index] : nullptr);
        if (!MoveAll(results, &record, sizeof record, 0))
            break;
    }
}

// 1 with the worker started and idle; 0 when no process could be started.
// The parent's ends of the other workers' pipes are closed in the new one,
// so that each pipe ends when its own worker and the parent let go of it.
static int StartWorker(const MeasureOptions &options, char **previews, char **exports,
                       const std::vector<Worker> &others, Worker *worker)
{
    int tasks[2], results[2];
    if (pipe(tasks) != 0)
        return 0;
    if (pipe(results) != 0) {
        close(tasks[0]);
        close(tasks[1]);
        return 0;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        close(tasks[0]);
        close(tasks[1]);
        close(results[0]);
        close(results[1]);
        return 0;
    }
    if (pid == 0) {
        for (const Worker &other : others) {
            close(other.tasks);
            close(other.results);
        }
        close(tasks[1]);
        close(results[0]);
        RunWorker(options, previews, exports, tasks[0], results[1]);
        // _exit: the parent's stdio buffers are the parent's to flush.
        _exit(0);
    }
    close(tasks[0]);
    close(results[1]);
    *worker = Worker{pid, tasks[1], results[0], -1, 0, 0.0};
    return 1;
}

static void StopWorker(Worker *worker)
{
    close(worker->tasks);
    close(worker->results);
    int status;
    while (waitpid(worker->pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// Reads what the worker sent; 1 when its photograph is done (its record
// complete, or lost when the worker ended first: the worker is then gone).
static int ReadWorker(const MeasureOptions &options, Worker *worker, PhotoRecord *records, int *gone)
{
    char *target = reinterpret_cast<char *>(&records[worker->index]);
    ssize_t n = read(worker->results, target + worker->received, sizeof(PhotoRecord) - worker->received);
    if (n < 0 && errno == EINTR)
        return 0;
    if (n > 0) {
        worker->received += static_cast<size_t>(n);
        if (worker->received < sizeof(PhotoRecord))
            return 0;
        return 1;
    }
    LoseRecord(options, &records[worker->index]);
    *gone = 1;
    return 1;
}

int EnsureFolder(const char *path)
{
    struct stat info;
    if (stat(path, &info) == 0)
        return S_ISDIR(info.st_mode);
    return mkdir(path, 0777) == 0;
}

ExitCode MeasureBatch(const MeasureOptions &options)
{
    const int32_t count = options.photoCount;
    std::vector<PhotoRecord> records(count);
    std::vector<char> done(count, 0);
    std::vector<char *> previews(count, nullptr), exports(count, nullptr);
    if (!PrepareExports(options, exports.data()) || !PreparePreviews(options, previews.data())) {
        for (char *stem : exports)
            delete[] stem;
        return kExitNoResult;
    }
    char **previewPaths = options.previewFolder != nullptr ? previews.data() : nullptr;
    char **exportStems = options.exportFolder != nullptr ? exports.data() : nullptr;
    const int progress = isatty(STDERR_FILENO);
    const auto start = std::chrono::steady_clock::now();
    auto seconds = [&start]() {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };

    int32_t jobs = options.jobs < count ? options.jobs : count;
    std::vector<Worker> workers;
    std::vector<pollfd> waits;
    int32_t next = 0, printed = 0, finished = 0;
    if (options.format == kFormatCsv)
        PrintCsvHeader(stdout);
    // A worker whose pipe fails is taken for gone, like one that died.
    std::signal(SIGPIPE, SIG_IGN);
    while (printed < count) {
        while (static_cast<int32_t>(workers.size()) < jobs && next < count) {
            Worker worker;
            if (!StartWorker(options, previewPaths, exportStems, workers, &worker))
                break;
            workers.push_back(worker);
        }
        for (Worker &worker : workers) {
            if (worker.index >= 0 || next >= count)
                continue;
            worker.index = next++;
            worker.received = 0;
            worker.started = seconds();
            MoveAll(worker.tasks, &worker.index, sizeof worker.index, 0);
        }
        if (workers.empty()) {
            // No process could be started: this photograph is measured here.
            MeasurePhoto(options.photos[next], options, previewPaths ? previewPaths[next] : nullptr, &records[next],
                         exportStems ? exportStems[next] : nullptr);
            done[next++] = 1;
            finished++;
        } else {
            waits.assign(workers.size(), pollfd{});
            for (size_t w = 0; w < workers.size(); w++) {
                waits[w].fd = workers[w].results;
                waits[w].events = workers[w].index >= 0 ? POLLIN : 0;
            }
            if (poll(waits.data(), waits.size(), kWaitSliceMs) < 0 && errno != EINTR) {
                // The pipes can not be watched: every photograph not yet
                // measured is reported lost rather than left out.
                for (int32_t i = 0; i < count; i++)
                    if (!done[i]) {
                        LoseRecord(options, &records[i]);
                        done[i] = 1;
                    }
                next = count;
            }
            // A worker past the time limit is killed; its pipe then ends and
            // its photograph is lost below.
            for (const Worker &worker : workers)
                if (worker.index >= 0 && seconds() - worker.started > kPhotoTimeLimit)
                    kill(worker.pid, SIGKILL);
            for (size_t w = workers.size(); w-- > 0;) {
                if (waits[w].revents == 0 || workers[w].index < 0 || done[workers[w].index])
                    continue;
                int gone = 0;
                if (!ReadWorker(options, &workers[w], records.data(), &gone))
                    continue;
                done[workers[w].index] = 1;
                finished++;
                workers[w].index = -1;
                if (gone) {
                    StopWorker(&workers[w]);
                    workers.erase(workers.begin() + static_cast<long>(w));
                }
            }
        }
        while (printed < count && done[printed]) {
            PrintRecord(stdout, options, options.photos[printed], records[printed]);
            printed++;
        }
        // Output nobody can read any more (a closed pipe) ends the batch.
        if (std::fflush(stdout) != 0 || std::ferror(stdout))
            break;
        if (progress)
            PrintProgress(stderr, finished, count, seconds());
    }
    for (Worker &worker : workers) {
        kill(worker.pid, SIGKILL);
        StopWorker(&worker);
    }
    for (char *path : previews)
        delete[] path;
    for (char *stem : exports)
        delete[] stem;
    if (printed < count)
        return kExitNoResult;
    return BatchExitCode(records.data(), count);
}
