// quorvane-sim on Linux: a pty (or a given port), a poll loop that feeds
// the checker and sends its answers when they fall due, and the files.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "port_posix.h"
#include "sim.h"
#include "transfer.h"  // kAck, kNak

namespace {

// Answers waiting for their time. Due times never decrease, so a ring in
// arrival order is enough.
constexpr size_t kPendingCapacity = 4096;
struct PendingAnswer {
    uint64_t dueNs;
    SimAnswer answer;
    unsigned long frame;
};

// Bytes due but not yet taken by the pty.
constexpr size_t kOutboxCapacity = 65536;

// For --timing: the answers in the outbox, oldest first. Each ends in one
// ACK or NAK byte in the outbox, so there are never more than its bytes.
struct OutboxAnswer {
    unsigned long frame;
    uint64_t dueNs;
};

struct Sim {
    SimOptions options;      // the command line's, with this device's own paths
    unsigned long board;     // from 1
    char paths[4][PATH_MAX]; // link, transcript, raw, timing
    uint64_t awayUntilNs;    // --replug: unplugged until then (fd is -1)
    uint64_t spinUntilNs;    // reads without sleeping until then: the sender's next frame is due
    unsigned long framesBeforeSpin;
    SimChecker checker;
    int fd;                  // the end the simulator reads and answers on
    int senderEnd;           // own fd on the sender's end (keeps the pty up); -1 with --port
    char senderPath[256];
    bool linked;
    FILE* transcript;
    FILE* raw;
    FILE* timingFile;
    bool done;               // --once has seen the end sequence, or the port went away
    bool unplug;             // --replug has seen the end sequence
    bool fileError;

    PendingAnswer pending[kPendingCapacity];
    size_t pendingHead;
    size_t pendingCount;

    uint8_t outbox[kOutboxCapacity];
    size_t outboxStart;
    size_t outboxEnd;
    unsigned long long droppedBytes;  // answers the sender never made room for

    SimTiming timing;
    OutboxAnswer outboxAnswers[kOutboxCapacity];
    size_t outboxAnswersHead;
    size_t outboxAnswersCount;
    char timingText[kSimTimingBlock * kSimTurnaroundTextSize];
};

Sim* theSims;  // --count of them

volatile sig_atomic_t stopRequested = 0;

void RequestStop(int)
{
    stopRequested = 1;
}

void PutOutbox(Sim& sim, uint8_t byte)
{
    if (sim.outboxStart == sim.outboxEnd) sim.outboxStart = sim.outboxEnd = 0;
    if (sim.outboxEnd == kOutboxCapacity) {
        ++sim.droppedBytes;
        return;
    }
    sim.outbox[sim.outboxEnd++] = byte;
}

// Remembers an answer whose last byte made it into the outbox, for --timing.
void TrackOutboxAnswer(Sim& sim, const PendingAnswer& answer)
{
    if (!sim.timingFile || sim.outboxAnswersCount == kOutboxCapacity) return;
    size_t slot = (sim.outboxAnswersHead + sim.outboxAnswersCount) % kOutboxCapacity;
    sim.outboxAnswers[slot] = {answer.frame, answer.dueNs};
    ++sim.outboxAnswersCount;
}

void ReleaseOldestAnswer(Sim& sim)
{
    uint8_t bytes[kSimMaxJunk + 1];
    const PendingAnswer& oldest = sim.pending[sim.pendingHead];
    size_t count = SimAnswerBytes(sim.options.policy, oldest.answer, bytes);
    unsigned long long droppedBefore = sim.droppedBytes;
    for (size_t i = 0; i < count; ++i) PutOutbox(sim, bytes[i]);
    if (count > 0 && sim.droppedBytes == droppedBefore) TrackOutboxAnswer(sim, oldest);
    sim.pendingHead = (sim.pendingHead + 1) % kPendingCapacity;
    --sim.pendingCount;
}

void ReleaseDueAnswers(Sim& sim, uint64_t nowNs)
{
    while (sim.pendingCount > 0 && sim.pending[sim.pendingHead].dueNs <= nowNs) ReleaseOldestAnswer(sim);
}

void QueueAnswer(Sim& sim, const SimEvent& event)
{
    if (sim.pendingCount == kPendingCapacity) ReleaseOldestAnswer(sim);  // never lose an answer
    size_t slot = (sim.pendingHead + sim.pendingCount) % kPendingCapacity;
    sim.pending[slot] = {event.answerDueNs, event.answer, event.index};
    ++sim.pendingCount;
}

void OnEvent(void* context, const SimEvent& event)
{
    Sim& sim = *static_cast<Sim*>(context);
    if (sim.transcript) {
        char line[kSimEventTextSize];
        size_t length = FormatSimEvent(event, line, sizeof line);
        // Flushed per event so an observer sees the job as it happens.
        if (std::fwrite(line, 1, length, sim.transcript) != length || std::fflush(sim.transcript) != 0) {
            sim.fileError = true;
        }
    }
    if (event.kind == SimEventKind::Frame && event.answer != SimAnswer::None) QueueAnswer(sim, event);
    if (event.kind == SimEventKind::End && sim.options.once) sim.done = true;
    if (event.kind == SimEventKind::End && sim.options.replugMs) sim.unplug = true;
}

SimSink SinkFor(Sim& sim)
{
    return {&sim, OnEvent};
}

// A block of --timing rows in one write: nothing is written per frame.
void WriteTimingRows(void* context, const SimTurnaround* rows, size_t count)
{
    Sim& sim = *static_cast<Sim*>(context);
    size_t length = 0;
    for (size_t i = 0; i < count; ++i) {
        length += FormatSimTurnaround(rows[i], sim.timingText + length, sizeof sim.timingText - length);
    }
    if (std::fwrite(sim.timingText, 1, length, sim.timingFile) != length) sim.fileError = true;
}

// Every answer whose ACK or NAK byte is among `bytes`, just written at `nowNs`.
void NoteAnswersWritten(Sim& sim, const uint8_t* bytes, size_t count, uint64_t nowNs)
{
    for (size_t i = 0; i < count && sim.outboxAnswersCount > 0; ++i) {
        if (bytes[i] != kAck && bytes[i] != kNak) continue;
        const OutboxAnswer& answer = sim.outboxAnswers[sim.outboxAnswersHead];
        NoteAnswerWritten(sim.timing, answer.frame, answer.dueNs, nowNs);
        sim.outboxAnswersHead = (sim.outboxAnswersHead + 1) % kOutboxCapacity;
        --sim.outboxAnswersCount;
    }
}

// Raw mode: no echo, no CR/LF translation, every byte passed as it is.
void MakeRaw(int fd)
{
    termios settings = {};
    if (tcgetattr(fd, &settings) != 0) return;  // not a terminal: nothing to set
    MakeRaw(settings);
    tcsetattr(fd, TCSANOW, &settings);
}

bool ReplaceSymlink(const char* link, const char* target)
{
    struct stat existing = {};
    if (lstat(link, &existing) == 0) {
        if (!S_ISLNK(existing.st_mode)) {
            std::fprintf(stderr, "quorvane-sim: %s exists and is not a symbolic link; not replacing it\n", link);
            return false;
        }
        unlink(link);
    }
    if (symlink(target, link) != 0) {
        std::fprintf(stderr, "quorvane-sim: cannot link %s to %s: %s\n", link, target, std::strerror(errno));
        return false;
    }
    return true;
}

// Removes the link only while it still points at this simulator's pty.
void RemoveOwnSymlink(const Sim& sim)
{
    if (!sim.linked) return;
    char target[sizeof sim.senderPath] = {};
    ssize_t length = readlink(sim.options.link, target, sizeof target - 1);
    if (length >= 0 && std::strcmp(target, sim.senderPath) == 0) unlink(sim.options.link);
}

bool OpenPty(Sim& sim)
{
    int master = -1;
    int sender = -1;
    if (openpty(&master, &sender, nullptr, nullptr, nullptr) != 0) {
        std::fprintf(stderr, "quorvane-sim: cannot create a pty: %s\n", std::strerror(errno));
        return false;
    }
    MakeRaw(master);
    MakeRaw(sender);
    sim.fd = master;
    sim.senderEnd = sender;
    if (ttyname_r(sender, sim.senderPath, sizeof sim.senderPath) != 0) {
        std::fprintf(stderr, "quorvane-sim: cannot name the pty\n");
        return false;
    }
    if (sim.options.link && !ReplaceSymlink(sim.options.link, sim.senderPath)) return false;
    sim.linked = sim.options.link != nullptr;
    std::printf("%s\n", sim.senderPath);
    std::fflush(stdout);
    return true;
}

// Only a serial device or a pty end: answers must never go into a file.
bool OpenGivenPort(Sim& sim)
{
    char why[160];
    if (!NamesAPort(sim.options.port, why, sizeof why)) {
        std::fprintf(stderr, "quorvane-sim: %s %s\n", sim.options.port, why);
        return false;
    }
    sim.fd = open(sim.options.port, O_RDWR | O_NOCTTY);
    if (sim.fd < 0) {
        std::fprintf(stderr, "quorvane-sim: cannot open %s: %s\n", sim.options.port, std::strerror(errno));
        return false;
    }
    if (!isatty(sim.fd)) {
        std::fprintf(stderr, "quorvane-sim: %s is not a serial port or a pty\n", sim.options.port);
        return false;
    }
    MakeRaw(sim.fd);
    return true;
}

FILE* OpenOutput(const char* path)
{
    if (!path) return nullptr;
    FILE* file = std::fopen(path, "wb");
    if (!file) std::fprintf(stderr, "quorvane-sim: cannot write %s: %s\n", path, std::strerror(errno));
    return file;
}

bool OpenEverything(Sim& sim)
{
    sim.fd = -1;
    sim.senderEnd = -1;
    if (sim.options.transcript && !(sim.transcript = OpenOutput(sim.options.transcript))) return false;
    if (sim.options.raw && !(sim.raw = OpenOutput(sim.options.raw))) return false;
    if (sim.options.timing && !(sim.timingFile = OpenOutput(sim.options.timing))) return false;
    StartTiming(sim.timing, {&sim, WriteTimingRows});
    if (!(sim.options.port ? OpenGivenPort(sim) : OpenPty(sim))) return false;
    fcntl(sim.fd, F_SETFL, fcntl(sim.fd, F_GETFL) | O_NONBLOCK);
    return true;
}

// True when bytes came in.
bool ReceiveBytes(Sim& sim)
{
    uint8_t bytes[4096];
    ssize_t count = read(sim.fd, bytes, sizeof bytes);
    if (count > 0) {
        uint64_t nowNs = NowNs();
        if (sim.timingFile) NoteBytesArrived(sim.timing, nowNs);
        if (sim.raw && (std::fwrite(bytes, 1, size_t(count), sim.raw) != size_t(count) || std::fflush(sim.raw) != 0)) {
            sim.fileError = true;
        }
        FeedChecker(sim.checker, bytes, size_t(count), nowNs, SinkFor(sim));
        return true;
    }
    if (count < 0 && (errno == EAGAIN || errno == EINTR)) return false;
    // End of file or an I/O error: the other side of a given port has gone.
    sim.done = true;
    return false;
}

// On a stop, what the sender has already written still counts.
void DrainInput(Sim& sim)
{
    while (!sim.done && ReceiveBytes(sim)) {
    }
}

// True when answer bytes went out.
bool SendOutbox(Sim& sim)
{
    const uint8_t* bytes = sim.outbox + sim.outboxStart;
    ssize_t written = write(sim.fd, bytes, sim.outboxEnd - sim.outboxStart);
    if (written <= 0) return false;
    if (sim.timingFile) NoteAnswersWritten(sim, bytes, size_t(written), NowNs());
    sim.outboxStart += size_t(written);
    return true;
}

// --replug: the device goes away (its link and its pty) and comes back on
// a new pty once the time is up (ServeAll plugs it in again).
void Unplug(Sim& sim, uint64_t nowNs)
{
    sim.unplug = false;
    RemoveOwnSymlink(sim);
    close(sim.fd);
    close(sim.senderEnd);
    sim.fd = sim.senderEnd = -1;
    sim.awayUntilNs = nowNs + uint64_t(sim.options.replugMs) * 1000000ull;
}

void PlugIn(Sim& sim)
{
    if (!OpenPty(sim)) {
        sim.done = true;
        return;
    }
    fcntl(sim.fd, F_SETFL, fcntl(sim.fd, F_GETFL) | O_NONBLOCK);
}

// Answers go out on time, whatever the scheduler: the loop sleeps until
// shortly before the next answer is due and then reads without sleeping
// until it is; after an answer it reads without sleeping for a little while,
// as the sender's next frame comes straight after. Each spin is bounded and
// yields, so the pty's kernel work gets the CPU (the spin times are the
// ports' own).

// What one device needs before the next wait: a replug, its due answers
// sent. Returns when the loop should look at it again (UINT64_MAX: only
// when its port has something); 0 to read without sleeping.
uint64_t Tend(Sim& sim, uint64_t nowNs)
{
    if (sim.unplug && sim.outboxStart == sim.outboxEnd && sim.pendingCount == 0) Unplug(sim, nowNs);
    if (sim.fd < 0) {
        if (nowNs < sim.awayUntilNs) return sim.awayUntilNs;
        PlugIn(sim);
        if (sim.done) return UINT64_MAX;
    }
    ReleaseDueAnswers(sim, nowNs);
    if (sim.outboxStart != sim.outboxEnd && SendOutbox(sim)) {
        sim.spinUntilNs = NowNs() + kSpinAfterNs;
        sim.framesBeforeSpin = sim.checker.totals.frames;
    }
    if (sim.checker.totals.frames != sim.framesBeforeSpin) sim.spinUntilNs = 0;  // the next frame is in
    if (sim.pendingCount == 0) return nowNs < sim.spinUntilNs ? 0 : UINT64_MAX;
    uint64_t dueNs = sim.pending[sim.pendingHead].dueNs;
    if (dueNs < nowNs + kSpinBeforeNs || nowNs < sim.spinUntilNs) return 0;
    return dueNs - kSpinBeforeNs;
}

// One loop for every device: it sleeps in one ppoll over all their ports
// until shortly before the next answer falls due anywhere, then polls
// without sleeping until it is; after an answer it polls without sleeping
// for a little while, as the sender's next frame comes straight after. Each
// spin is bounded and yields, so the pty's kernel work gets the CPU (the
// spin times are the ports' own). Answers go out on time, whatever the
// scheduler, and N devices cost one thread, not N.
void ServeAll(Sim* sims, unsigned long count, const sigset_t& waitMask)
{
    pollfd watch[kSimMaxDevices];
    Sim* watched[kSimMaxDevices];
    for (;;) {
        uint64_t nowNs = NowNs(), wakeNs = UINT64_MAX;
        nfds_t watching = 0;
        bool live = false;
        for (unsigned long i = 0; i < count && !stopRequested; ++i) {
            Sim& sim = sims[i];
            if (sim.done) continue;
            uint64_t next = Tend(sim, nowNs);
            if (sim.done) continue;
            live = true;
            if (next < wakeNs) wakeNs = next;
            if (sim.fd < 0) continue;
            bool sending = sim.outboxStart != sim.outboxEnd;
            watch[watching] = {sim.fd, short(POLLIN | (sending ? POLLOUT : 0)), 0};
            watched[watching++] = &sim;
        }
        if (stopRequested || !live) return;
        timespec limit = {};
        uint64_t waitNs = wakeNs > nowNs ? wakeNs - nowNs : 0;
        limit.tv_sec = time_t(waitNs / 1000000000ull);
        limit.tv_nsec = long(waitNs % 1000000000ull);
        int ready = ppoll(watch, watching, wakeNs == UINT64_MAX ? nullptr : &limit, &waitMask);
        if (ready < 0) continue;  // a signal: the loop decides
        if (ready == 0 && waitNs == 0) sched_yield();
        for (nfds_t i = 0; i < watching; ++i) {
            if (watch[i].revents & POLLOUT) SendOutbox(*watched[i]);
            if (watch[i].revents & (POLLIN | POLLHUP | POLLERR)) ReceiveBytes(*watched[i]);
        }
    }
}

void ReportTotals(const Sim& sim, int status)
{
    const SimTotals& totals = sim.checker.totals;
    if (sim.options.count > 1) std::fprintf(stderr, "quorvane-sim: device %lu: ", sim.board);
    else std::fprintf(stderr, "quorvane-sim: ");
    std::fprintf(stderr,
                 "received %lu start, %lu frames (%lu bad), %lu end, %llu junk bytes in %lu runs, "
                 "%lu truncated, %lu out of place%s: %s\n",
                 totals.starts, totals.frames, totals.badFrames, totals.ends, totals.junkBytes, totals.junkRuns,
                 totals.truncated, totals.outOfPlace, totals.jobOpen ? ", a job left open" : "",
                 status == kSimExitWellFormed ? "well formed" : "not well formed");
    if (sim.droppedBytes) std::fprintf(stderr, "quorvane-sim: %llu answer bytes found no room\n", sim.droppedBytes);
}

bool CloseFile(FILE* file)
{
    return !file || std::fclose(file) == 0;
}

void CloseEverything(Sim& sim)
{
    RemoveOwnSymlink(sim);
    if (sim.fd >= 0) close(sim.fd);
    if (sim.senderEnd >= 0) close(sim.senderEnd);
    if (sim.timingFile) FinishTiming(sim.timing);
    if (!CloseFile(sim.transcript) || !CloseFile(sim.raw) || !CloseFile(sim.timingFile)) sim.fileError = true;
    sim.transcript = sim.raw = sim.timingFile = nullptr;
}

void CatchStopSignals(sigset_t& waitMask)
{
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    // Blocked except inside ppoll, so a stop can never slip in between the
    // check and the wait.
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    struct sigaction action = {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A reader of standard output that has gone must not end the simulator.
    signal(SIGPIPE, SIG_IGN);
}

// Device `board`'s options: the command line's, its paths made from the
// patterns.
void SetUpDevice(Sim& sim, const SimOptions& options, unsigned long board)
{
    sim.options = options;
    sim.board = board;
    const char** paths[] = {&sim.options.link, &sim.options.transcript, &sim.options.raw, &sim.options.timing};
    for (int i = 0; i < 4; ++i) {
        if (!*paths[i]) continue;
        FormatSimPath(*paths[i], board, options.count > 1, sim.paths[i], sizeof sim.paths[i]);
        *paths[i] = sim.paths[i];
    }
}

// The device's verdict on what it received, said on standard error.
int FinishDevice(Sim& sim)
{
    if (stopRequested) DrainInput(sim);
    FinishChecker(sim.checker, SinkFor(sim));
    CloseEverything(sim);
    int status = SimVerdict(sim.checker.totals);
    // Answers the sender never took are a job the device did not do right.
    if (sim.droppedBytes) status = kSimExitMalformed;
    if (sim.fileError) {
        std::fprintf(stderr, "quorvane-sim: writing the transcript, raw or timing file failed\n");
        status = kSimExitMalformed;
    }
    ReportTotals(sim, status);
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    SimOptions options;
    char error[256] = {};
    if (!ParseSimOptions(argc, argv, options, error, sizeof error)) {
        std::fprintf(stderr, "quorvane-sim: %s\n(quorvane-sim --help explains the options)\n", error);
        return kSimExitUsage;
    }
    if (options.help) {
        std::fputs(kSimHelp, stdout);
        return kSimExitWellFormed;
    }
    if (options.version) {
        std::printf("quorvane-sim %s\n", QUORVANE_VERSION);
        return kSimExitWellFormed;
    }
    sigset_t waitMask;
    CatchStopSignals(waitMask);
    // Answers fall due to the microsecond when a line speed is emulated; the
    // kernel's default timer slack would add up to 50 us to every one.
    prctl(PR_SET_TIMERSLACK, 1ul, 0ul, 0ul, 0ul);
    theSims = static_cast<Sim*>(std::calloc(options.count, sizeof(Sim)));
    if (!theSims) {
        std::fprintf(stderr, "quorvane-sim: not enough memory for %lu devices\n", options.count);
        return kSimExitUsage;
    }
    bool opened = true;
    for (unsigned long i = 0; i < options.count && opened; ++i) {
        SetUpDevice(theSims[i], options, i + 1);
        StartChecker(theSims[i].checker, options.policy);
        opened = OpenEverything(theSims[i]);
    }
    if (!opened) {
        for (unsigned long i = 0; i < options.count; ++i) CloseEverything(theSims[i]);
        return kSimExitUsage;
    }
    ServeAll(theSims, options.count, waitMask);
    int worst = kSimExitWellFormed;
    for (unsigned long i = 0; i < options.count; ++i) {
        int status = FinishDevice(theSims[i]);
        if (status > worst) worst = status;
    }
    std::free(theSims);
    return worst;
}
