// The real quorvane-sim over a real pty, driven by the engine's worker
// through a small POSIX seam, and by hand-made streams.
#include <gtest/gtest.h>

#include <cerrno>
#include <deque>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "hex.h"
#include "transfer.h"

#ifndef QUORVANE_SIM_PATH
#error QUORVANE_SIM_PATH must name the quorvane-sim executable
#endif

namespace {

using quorvane_test::Bytes;
using quorvane_test::FromHex;

const char kWorkedExample[] = "S00600004844521B\nS1130000285F245F2212226A000424290008237C2A\nS9030000FC\n";

unsigned long long NowMs()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (unsigned long long)now.tv_sec * 1000ull + (unsigned long long)now.tv_nsec / 1000000ull;
}

// ---- The simulator as a child process -------------------------------------

struct SimProcess {
    pid_t pid = -1;
    int output = -1;    // its standard output
    std::string pty;    // its first line: the sender's end
    int status = -1;    // exit status once it has ended; -2: killed by a signal
};

// Waits up to `limitMs` for the process to end; false if it is still running.
bool WaitForExit(SimProcess& sim, unsigned long long limitMs)
{
    if (sim.pid <= 0) return true;
    unsigned long long deadline = NowMs() + limitMs;
    for (;;) {
        int raw = 0;
        pid_t ended = waitpid(sim.pid, &raw, WNOHANG);
        if (ended == sim.pid) {
            sim.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -2;
            sim.pid = -1;
            if (sim.output >= 0) close(sim.output);
            sim.output = -1;
            return true;
        }
        if (NowMs() >= deadline) return false;
        usleep(10000);
    }
}

// Asks the simulator to stop with `signal`, and kills it if it does not.
int Stop(SimProcess& sim, int signal = SIGTERM)
{
    if (sim.pid > 0) {
        kill(sim.pid, signal);
        if (!WaitForExit(sim, 5000)) {
            kill(sim.pid, SIGKILL);
            WaitForExit(sim, 5000);
        }
    }
    return sim.status;
}

// The first line of its standard output, within five seconds.
std::string ReadFirstLine(int output)
{
    std::string line;
    unsigned long long deadline = NowMs() + 5000;
    while (NowMs() < deadline) {
        pollfd watch = {output, POLLIN, 0};
        if (poll(&watch, 1, 100) <= 0) continue;
        char c = 0;
        if (read(output, &c, 1) != 1) break;
        if (c == '\n') return line;
        line += c;
    }
    return "";
}

SimProcess Launch(const std::vector<std::string>& args, bool expectPty = true)
{
    SimProcess sim;
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) return sim;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(QUORVANE_SIM_PATH));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    sim.pid = fork();
    if (sim.pid == 0) {
        dup2(pipeEnds[1], STDOUT_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipeEnds[1]);
    sim.output = pipeEnds[0];
    if (expectPty) sim.pty = ReadFirstLine(sim.output);
    return sim;
}

// ---- A POSIX seam for the engine's worker ---------------------------------

struct PtyPort {
    int fd;
    std::vector<WriteNote> notes;  // messages, in order
    std::vector<long long> totals;
};

long PtyWrite(void* context, const uint8_t* bytes, size_t count)
{
    ssize_t written = write(static_cast<PtyPort*>(context)->fd, bytes, count);
    if (written >= 0) return long(written);
    return errno == EAGAIN || errno == EINTR ? 0 : -1;
}

// One byte, waiting at most 200 ms, as the port's read timeout does.
ReadResult PtyReadByte(void* context, uint8_t* byte)
{
    pollfd watch = {static_cast<PtyPort*>(context)->fd, POLLIN, 0};
    if (poll(&watch, 1, 200) <= 0) return ReadResult::Nothing;
    ssize_t count = read(watch.fd, byte, 1);
    if (count == 1) return ReadResult::Byte;
    return count < 0 && (errno == EAGAIN || errno == EINTR) ? ReadResult::Nothing : ReadResult::Lost;
}

void PtyPause(void*)
{
    usleep(100000);
}

void RecordNote(void* context, WriteNote message, long long total)
{
    PtyPort& port = *static_cast<PtyPort*>(context);
    port.notes.push_back(message);
    port.totals.push_back(total);
}

unsigned long long PtyNowMs(void*)
{
    return NowMs();
}

int OpenRaw(const std::string& path)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    termios settings = {};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    tcsetattr(fd, TCSANOW, &settings);
    return fd;
}

struct JobResult {
    WriteOutcome outcome;
    WriteFailure failure;
    unsigned long frames;
    std::vector<WriteNote> notes;
    std::vector<long long> totals;
};

// One write job of `fileText` to the pty at `path`. The answer timeout only
// keeps a broken simulator from hanging the test.
JobResult RunJob(const std::string& path, const std::string& fileText, int ackMode,
                 unsigned long answerTimeoutMs = 5000,
                 long (*writeBytes)(void*, const uint8_t*, size_t) = PtyWrite)
{
    PtyPort port = {OpenRaw(path), {}, {}};
    EXPECT_GE(port.fd, 0) << path;
    FILE* source = fmemopen(const_cast<char*>(fileText.data()), fileText.size(), "rb");
    static WriteJob job;  // holds an atomic: not copied, not on the stack of every caller
    PrepareWriteJob(job);
    job.source = source;
    job.seam = {&port, &port, writeBytes, PtyReadByte, PtyPause, RecordNote, PtyNowMs};
    job.ackMode = ackMode;
    job.answerTimeoutMs = answerTimeoutMs;
    WriteOutcome outcome = RunWriteJob(job);
    std::fclose(source);
    if (port.fd >= 0) close(port.fd);
    return {outcome, job.failure, job.frames, port.notes, port.totals};
}

// What a faithful sender puts on the wire for `fileText` up to `lastFrame`
// frames (all of them, and the end sequence, when lastFrame is 0).
Bytes WireFor(const std::string& fileText, unsigned long lastFrame = 0)
{
    Bytes wire(StartSequence, StartSequence + kControlSequenceSize);
    std::istringstream lines(fileText);
    std::string line;
    unsigned long frames = 0;
    while (std::getline(lines, line)) {
        line += '\n';
        uint8_t frame[kMaxFrameSize];
        FrameResult result = EncodeLine(line.data(), line.size(), frame);
        if (result.kind == FrameKind::End) {
            wire.insert(wire.end(), EndSequence, EndSequence + kControlSequenceSize);
            break;
        }
        wire.insert(wire.end(), frame, frame + result.size);
        if (++frames == lastFrame) break;
    }
    return wire;
}

Bytes ReadBytes(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::vector<std::string> ReadLines(const std::string& path)
{
    std::ifstream file(path);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(file, line)) lines.push_back(line);
    return lines;
}

// An S-record file of `records` data records of every address width and
// length up to 32 data bytes, then S9.
std::string LargeFile(int records)
{
    std::string text = "S00600004844521B\n";
    for (int i = 0; i < records; ++i) {
        int type = 1 + i % 3;
        int dataBytes = i % 33;
        int addressBytes = type + 1;
        char line[128];
        int at = std::snprintf(line, sizeof line, "S%d%02X", type, dataBytes + addressBytes + 1);
        for (int a = 0; a < addressBytes; ++a) at += std::snprintf(line + at, sizeof line - at, "%02X", (i * 7 + a) & 0xFF);
        for (int d = 0; d < dataBytes; ++d) at += std::snprintf(line + at, sizeof line - at, "%02X", (i + d * 13) & 0xFF);
        std::snprintf(line + at, sizeof line - at, "00\n");  // the record's checksum is never checked
        text += line;
    }
    return text + "S9030000FC\n";
}

std::string FrameLine(unsigned long index, unsigned long address, unsigned length, const char* answer)
{
    char text[160];
    std::snprintf(text, sizeof text,
                  "{\"event\":\"frame\",\"index\":%lu,\"address\":%lu,\"length\":%u,\"crc_ok\":true,\"answer\":\"%s\"}",
                  index, address, length, answer);
    return text;
}

// ---- Tests -----------------------------------------------------------------

class SimOverPty : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/quorvane-sim-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        transcript = dir + "/transcript.jsonl";
        raw = dir + "/raw.bin";
    }

    void TearDown() override
    {
        for (SimProcess& sim : started) Stop(sim, SIGKILL);
        std::string command = "rm -rf '" + dir + "'";
        if (std::system(command.c_str()) != 0) ADD_FAILURE() << "could not remove " << dir;
    }

    // Every simulator started here is killed at the end of the test,
    // however the test ends.
    SimProcess& Start(const std::vector<std::string>& args, bool expectPty = true)
    {
        started.push_back(Launch(args, expectPty));
        return started.back();
    }

    std::vector<std::string> WithFiles(std::vector<std::string> args) const
    {
        args.insert(args.end(), {"--transcript", transcript, "--raw", raw});
        return args;
    }

    std::string dir;
    std::string transcript;
    std::string raw;
    std::deque<SimProcess> started;  // references to its elements stay valid
};

TEST_F(SimOverPty, WorkedExampleIsAcknowledgedAndRecorded)
{
    SimProcess& sim = Start(WithFiles({"--once"}));
    ASSERT_EQ(sim.pty.rfind("/dev/pts/", 0), 0u) << sim.pty;

    JobResult job = RunJob(sim.pty, kWorkedExample, 1);
    EXPECT_EQ(job.outcome, WriteOutcome::End);
    EXPECT_EQ(job.notes, (std::vector<WriteNote>{WriteNote::Progress, WriteNote::Progress, WriteNote::End}));
    EXPECT_EQ(job.totals, (std::vector<long long>{0, 16, 0}));

    ASSERT_TRUE(WaitForExit(sim, 5000)) << "--once did not end after the end sequence";
    EXPECT_EQ(sim.status, 0);
    EXPECT_EQ(ReadLines(transcript), (std::vector<std::string>{"{\"event\":\"start\"}", FrameLine(1, 0, 0, "ack"),
                                                                FrameLine(2, 0, 16, "ack"), "{\"event\":\"end\"}"}));
    EXPECT_EQ(ReadBytes(raw), WireFor(kWorkedExample));
    EXPECT_EQ(ReadBytes(raw), FromHex("1B 1D 3F 30 31 0A 00"
                                      "02 00 00 00 00 00 03 01 40"
                                      "02 10 00 00 00 00 28 5F 24 5F 22 12 22 6A 00 04 24 29 00 08 23 7C 03 16 BF"
                                      "1B 1D 3F 31 30 0A 00"));
}

TEST_F(SimOverPty, LargeFileUnderLineSpeedJunkAndDelay)
{
    const std::string file = LargeFile(300);
    struct Row {
        const char* name;
        std::vector<std::string> policy;
    };
    const Row rows[] = {
        {"plain", {}},
        {"junk before every answer is skipped", {"--junk", "3"}},
        {"38400 baud line and a delay", {"--baud", "38400", "--delay", "1"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::string> args = row.policy;
        args.push_back("--once");
        SimProcess& sim = Start(WithFiles(args));
        JobResult job = RunJob(sim.pty, file, 1);
        EXPECT_EQ(job.outcome, WriteOutcome::End) << WriteFailureText(job.failure);
        EXPECT_EQ(job.frames, 301ul);
        ASSERT_TRUE(WaitForExit(sim, 5000));
        EXPECT_EQ(sim.status, 0);
        EXPECT_EQ(ReadBytes(raw), WireFor(file));
        EXPECT_EQ(ReadLines(transcript).size(), 303u);
    }
}

// A sender that thinks for a while before every write.
constexpr unsigned long long kSenderThinkNs = 20000000;

long SlowPtyWrite(void* context, const uint8_t* bytes, size_t count)
{
    timespec think = {0, long(kSenderThinkNs)};
    nanosleep(&think, nullptr);
    return PtyWrite(context, bytes, count);
}

std::vector<std::vector<unsigned long long>> ReadNumberRows(const std::string& path)
{
    std::vector<std::vector<unsigned long long>> rows;
    for (const std::string& line : ReadLines(path)) {
        std::istringstream fields(line);
        std::vector<unsigned long long> row;
        unsigned long long number = 0;
        while (fields >> number) row.push_back(number);
        rows.push_back(row);
    }
    return rows;
}

TEST_F(SimOverPty, TimingShowsTheSendersTurnaroundForEveryFrame)
{
    const std::string file = LargeFile(12);
    std::string timing = dir + "/timing.txt";
    SimProcess& sim = Start(WithFiles({"--once", "--timing", timing}));
    JobResult job = RunJob(sim.pty, file, 1, 5000, SlowPtyWrite);
    EXPECT_EQ(job.outcome, WriteOutcome::End) << WriteFailureText(job.failure);
    ASSERT_TRUE(WaitForExit(sim, 5000));
    EXPECT_EQ(sim.status, 0);

    auto rows = ReadNumberRows(timing);
    ASSERT_EQ(rows.size(), 13u);
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE("row " + std::to_string(i + 1));
        ASSERT_EQ(rows[i].size(), 4u);
        EXPECT_EQ(rows[i][0], i + 1);
        EXPECT_LE(rows[i][1], rows[i][2]);  // written no earlier than due
        // The sender's think time is inside the turnaround, and the next byte
        // is the first of the next frame: it came before that frame was whole.
        EXPECT_GE(rows[i][3], rows[i][2] + kSenderThinkNs);
        if (i + 1 < rows.size()) {
            EXPECT_LE(rows[i][3], rows[i + 1][1]);
        }
    }
}

TEST_F(SimOverPty, TimingMarksAnAnswerNoByteFollowed)
{
    std::string timing = dir + "/timing.txt";
    SimProcess& sim = Start({"--timing", timing});
    int fd = OpenRaw(sim.pty);
    ASSERT_GE(fd, 0);
    Bytes wire = WireFor(kWorkedExample, 1);  // start and the first frame, then silence
    ASSERT_EQ(write(fd, wire.data(), wire.size()), ssize_t(wire.size()));
    uint8_t answer = 0;
    pollfd watch = {fd, POLLIN, 0};
    ASSERT_EQ(poll(&watch, 1, 5000), 1);
    ASSERT_EQ(read(fd, &answer, 1), 1);
    EXPECT_EQ(answer, kAck);
    Stop(sim);
    close(fd);

    auto rows = ReadNumberRows(timing);
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_EQ(rows[0].size(), 4u);
    EXPECT_EQ(rows[0][0], 1u);
    EXPECT_NE(rows[0][2], 0u);
    EXPECT_EQ(rows[0][3], 0u);
}

TEST_F(SimOverPty, NakAtFrameNEndsTheJobAndNothingFollows)
{
    const std::string file = LargeFile(10);
    for (unsigned long nakFrame : {1ul, 2ul, 7ul}) {
        SCOPED_TRACE("NAK at frame " + std::to_string(nakFrame));
        SimProcess& sim = Start(WithFiles({"--nak", std::to_string(nakFrame)}));
        JobResult job = RunJob(sim.pty, file, 1);
        EXPECT_EQ(job.outcome, WriteOutcome::Error);
        EXPECT_EQ(job.failure, WriteFailure::Nak);
        EXPECT_EQ(job.frames, nakFrame);
        EXPECT_EQ(job.notes.back(), WriteNote::Error);
        EXPECT_EQ(job.notes.size(), nakFrame);  // progress for the frames before, then the error

        // The job never ended, so the stream was not a whole job.
        EXPECT_EQ(Stop(sim), 1);
        EXPECT_EQ(ReadBytes(raw), WireFor(file, nakFrame));
        std::vector<std::string> lines = ReadLines(transcript);
        ASSERT_EQ(lines.size(), nakFrame + 1);
        EXPECT_NE(lines.back().find("\"answer\":\"nak\""), std::string::npos) << lines.back();
    }
}

TEST_F(SimOverPty, UnansweredFrameRunsIntoTheAnswerTimeout)
{
    SimProcess& sim = Start(WithFiles({"--no-answer", "2"}));
    JobResult job = RunJob(sim.pty, kWorkedExample, 1, 300);
    EXPECT_EQ(job.outcome, WriteOutcome::Error);
    EXPECT_EQ(job.failure, WriteFailure::NoAnswer);
    EXPECT_EQ(Stop(sim), 1);
    std::vector<std::string> lines = ReadLines(transcript);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], FrameLine(2, 0, 16, "none"));
}

TEST_F(SimOverPty, SilentDeviceWithAckModeZero)
{
    SimProcess& sim = Start(WithFiles({"--silent", "--once"}));
    const std::string file = LargeFile(50);
    JobResult job = RunJob(sim.pty, file, 0);
    EXPECT_EQ(job.outcome, WriteOutcome::End);
    ASSERT_TRUE(WaitForExit(sim, 5000));
    EXPECT_EQ(sim.status, 0);
    EXPECT_EQ(ReadBytes(raw), WireFor(file));
    std::vector<std::string> lines = ReadLines(transcript);
    ASSERT_EQ(lines.size(), 53u);
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
        EXPECT_NE(lines[i].find("\"answer\":\"none\""), std::string::npos) << lines[i];
    }
}

TEST_F(SimOverPty, SilentDeviceSendsNothingBack)
{
    SimProcess& sim = Start({"--silent"});
    int fd = OpenRaw(sim.pty);
    ASSERT_GE(fd, 0);
    Bytes wire = WireFor(kWorkedExample);
    ASSERT_EQ(write(fd, wire.data(), wire.size()), ssize_t(wire.size()));
    pollfd watch = {fd, POLLIN, 0};
    EXPECT_EQ(poll(&watch, 1, 300), 0) << "the silent device answered";
    close(fd);
    EXPECT_EQ(Stop(sim, SIGINT), 0);
}

// Bytes written straight to the pty, and how the simulator judges them.
TEST_F(SimOverPty, MalformedStreamsGiveExitStatusOne)
{
    struct Row {
        const char* name;
        const char* hex;
        const char* lastEvent;
        int status;
    };
    const Row rows[] = {
        {"a whole job", "1B 1D 3F 30 31 0A 00  02 00 00 00 00 00 03 01 40  1B 1D 3F 31 30 0A 00",
         "{\"event\":\"end\"}", 0},
        {"bad CRC", "1B 1D 3F 30 31 0A 00  02 00 00 00 00 00 03 01 41  1B 1D 3F 31 30 0A 00",
         "{\"event\":\"end\"}", 1},
        {"junk before the start", "48 49  1B 1D 3F 30 31 0A 00  1B 1D 3F 31 30 0A 00", "{\"event\":\"end\"}", 1},
        {"frame before the start", "02 00 00 00 00 00 03 01 40  1B 1D 3F 31 30 0A 00", "{\"event\":\"end\"}", 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SimProcess& sim = Start(WithFiles({"--once"}));
        int fd = OpenRaw(sim.pty);
        ASSERT_GE(fd, 0);
        Bytes bytes = FromHex(row.hex);
        ASSERT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
        ASSERT_TRUE(WaitForExit(sim, 5000));
        close(fd);
        EXPECT_EQ(sim.status, row.status);
        EXPECT_EQ(ReadBytes(raw), bytes);
        std::vector<std::string> lines = ReadLines(transcript);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), row.lastEvent);
    }
}

TEST_F(SimOverPty, FrameCutShortIsReportedWhenStopped)
{
    SimProcess& sim = Start(WithFiles({}));
    int fd = OpenRaw(sim.pty);
    ASSERT_GE(fd, 0);
    Bytes bytes = FromHex("1B 1D 3F 30 31 0A 00  02 10 00 00 00 00 28 5F");
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    // Stop only once the simulator has the bytes.
    unsigned long long deadline = NowMs() + 5000;
    while (ReadBytes(raw).size() < bytes.size() && NowMs() < deadline) usleep(10000);
    close(fd);
    EXPECT_EQ(Stop(sim), 1);
    EXPECT_EQ(ReadLines(transcript),
              (std::vector<std::string>{"{\"event\":\"start\"}", "{\"event\":\"truncated\",\"length\":8}"}));
}

TEST_F(SimOverPty, SenderMayCloseAndReopenBetweenJobs)
{
    SimProcess& sim = Start(WithFiles({}));
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("job " + std::to_string(round + 1));
        JobResult job = RunJob(sim.pty, kWorkedExample, 1);
        EXPECT_EQ(job.outcome, WriteOutcome::End) << WriteFailureText(job.failure);
    }
    // The end sequence of the second job has no answer to wait for.
    unsigned long long deadline = NowMs() + 5000;
    while (ReadLines(transcript).size() < 8 && NowMs() < deadline) usleep(10000);
    EXPECT_EQ(Stop(sim, SIGINT), 0);
    Bytes twice = WireFor(kWorkedExample);
    Bytes once = twice;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(ReadBytes(raw), twice);
}

TEST_F(SimOverPty, LinkPointsAtTheSendersEndWhileItRuns)
{
    const std::string link = dir + "/com5";
    ASSERT_EQ(symlink("/nonexistent", link.c_str()), 0);  // a stale link is replaced
    SimProcess& sim = Start(WithFiles({"--link", link, "--once"}));
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(sim.pty, target);

    JobResult job = RunJob(link, kWorkedExample, 1);
    EXPECT_EQ(job.outcome, WriteOutcome::End);
    ASSERT_TRUE(WaitForExit(sim, 5000));
    EXPECT_EQ(sim.status, 0);
    struct stat gone = {};
    EXPECT_NE(lstat(link.c_str(), &gone), 0) << "the link outlived the simulator";
}

TEST_F(SimOverPty, ServesAGivenPortUntilItsOtherSideCloses)
{
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    char slavePath[256] = {};
    ASSERT_EQ(ttyname_r(slave, slavePath, sizeof slavePath), 0);
    termios settings = {};
    tcgetattr(slave, &settings);
    cfmakeraw(&settings);
    tcsetattr(slave, TCSANOW, &settings);
    // Held open until the exchange is over: a master whose slave nobody has
    // open fails its reads, and the simulator may not have opened it yet.
    fcntl(slave, F_SETFD, FD_CLOEXEC);

    SimProcess& sim = Start(WithFiles({"--port", slavePath}), false);
    // The test plays the sender on the master side this time.
    PtyPort port = {master, {}, {}};
    Bytes frame = FromHex("1B 1D 3F 30 31 0A 00  02 00 00 00 00 00 03 01 40");
    ASSERT_EQ(PtyWrite(&port, frame.data(), frame.size()), long(frame.size()));
    uint8_t answer = 0;
    ReadResult read = ReadResult::Nothing;
    for (int tries = 0; tries < 25 && read == ReadResult::Nothing; ++tries) read = PtyReadByte(&port, &answer);
    ASSERT_EQ(read, ReadResult::Byte);
    EXPECT_EQ(answer, kAck);

    close(slave);
    close(master);  // the simulator's reads now fail: it ends by itself
    ASSERT_TRUE(WaitForExit(sim, 5000));
    EXPECT_EQ(sim.status, 1);  // no end sequence came
    EXPECT_EQ(ReadBytes(raw), frame);
}

TEST_F(SimOverPty, UsageErrorsAndUnopenablePortsGiveExitStatusTwo)
{
    const std::string regularFile = dir + "/not-a-link";
    std::ofstream(regularFile) << "keep me";
    struct Row {
        const char* name;
        std::vector<std::string> args;
    };
    const std::vector<Row> rows = {
        {"frame 0", {"--nak", "0"}},
        {"unknown option", {"--speed", "9600"}},
        {"missing port", {"--port", dir + "/no-such-port"}},
        {"transcript in a missing directory", {"--transcript", dir + "/missing/t.jsonl"}},
        {"link over a regular file", {"--link", regularFile}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SimProcess& sim = Start(row.args, false);
        ASSERT_TRUE(WaitForExit(sim, 5000));
        EXPECT_EQ(sim.status, 2);
    }
    EXPECT_EQ(ReadLines(regularFile), std::vector<std::string>{"keep me"});
}

TEST_F(SimOverPty, HelpExplainsItself)
{
    SimProcess& sim = Start({"--help"}, false);
    std::string text;
    char buffer[4096];
    ssize_t count;
    while ((count = read(sim.output, buffer, sizeof buffer)) > 0) text.append(buffer, size_t(count));
    ASSERT_TRUE(WaitForExit(sim, 5000));
    EXPECT_EQ(sim.status, 0);
    for (const char* option : {"--port", "--link", "--silent", "--nak", "--junk", "--no-answer", "--delay",
                               "--baud", "--transcript", "--raw", "--timing", "--once", "pty", "exit status"}) {
        EXPECT_NE(text.find(option), std::string::npos) << option;
    }
}

}  // namespace
