// One device's write job on a thread of its own, and what is said of it.
#include "jobs.h"

#include <cstdlib>
#include <cstring>

#include "conversions.h"

namespace {

// How long a serial device may leave its very first frame unanswered
// before the user hears the likely causes.
constexpr std::chrono::seconds kFirstAnswerPatience(3);

void OnNotification(void* context, WriteNote note, long long total)
{
    PortJob& job = *static_cast<PortJob*>(context);
    if (note != WriteNote::Progress) return;
    job.sent.store(total);
    job.answered.fetch_add(1);
}

void RunJob(PortJob* job)
{
    auto started = std::chrono::steady_clock::now();
    job->outcome = RunWriteJob(job->job);
    job->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    job->endedAt = std::chrono::system_clock::now();
    job->finished.store(true);
    if (job->ended) job->ended(job->endedContext);
}

int ExitStatusOf(WriteOutcome outcome)
{
    if (outcome == WriteOutcome::End) return kExitOk;
    return outcome == WriteOutcome::Aborted ? kExitAborted : kExitFailed;
}

void DescribeFailure(const PortJob& portJob, const JobSettings& settings, char* text, size_t size)
{
    const WriteJob& job = portJob.job;
    switch (job.failure) {
    case WriteFailure::LineRejected:
        std::snprintf(text, size, "line %lu: not an acceptable S-record", job.line);
        break;
    case WriteFailure::LineTooLong:
        std::snprintf(text, size, "line %lu: longer than any S-record", job.line);
        break;
    case WriteFailure::Nak:
        std::snprintf(text, size, "NAK after frame %lu (address 0x%08lX)", job.frames, (unsigned long)job.lastAddress);
        break;
    case WriteFailure::NoAnswer:
        std::snprintf(text, size, "no answer within %g seconds after frame %lu (address 0x%08lX)",
                      settings.answerTimeoutSeconds, job.frames, (unsigned long)job.lastAddress);
        break;
    case WriteFailure::PortStalled:
        std::snprintf(text, size, "the port took nothing for %g seconds", settings.answerTimeoutSeconds);
        break;
    default:
        std::snprintf(text, size, "%s", WriteFailureText(job.failure));
        break;
    }
    size_t length = std::strlen(text);
    if (job.failure == WriteFailure::NoAnswer && portJob.otherHolder[0] && length < size)
        std::snprintf(text + length, size - length, "; the port is also open in %s, which may have taken the answers",
                      portJob.otherHolder);
}

// A message about one port: a line on standard error, or a JSON event.
void Tell(const PortJob& job, const JobSettings& settings, const char* event, const char* text)
{
    if (!settings.json) {
        Say(stderr, "%s: %s\n", job.name, text);
        return;
    }
    std::printf("{\"event\":\"%s\",\"port\":", event);
    PrintJsonString(stdout, job.name);
    std::printf(",\"text\":");
    PrintJsonString(stdout, text);
    std::printf("}\n");
    std::fflush(stdout);
}

void SayHowDriven(const PortJob& job, const JobSettings& settings)
{
    char text[200];
    const char* how = job.job.ackMode ? "an answer awaited after every frame" : "frames back to back, nothing read";
    if (job.kind == PortKind::Serial)
        std::snprintf(text, sizeof text, "serial port at %lu baud, 8N1; %s", settings.baud, how);
    else
        std::snprintf(text, sizeof text, "%s; %s",
                      job.kind == PortKind::Parallel ? "parallel port" : "the device's own USB port", how);
    Tell(job, settings, "port", text);
}

}  // namespace

const CommandOption kJobOptions[3] = {{"baud", 'b', true}, {"mode", 'm', true}, {"answer-timeout", 't', true}};

bool ParseSeconds(const char* value, double& seconds)
{
    char* end = nullptr;
    double parsed = std::strtod(value, &end);
    // Written so that NaN fails too.
    if (end == value || *end || !(parsed == 0 || (parsed >= 0.001 && parsed <= 86400))) return false;
    seconds = parsed;
    return true;
}

bool TakeJobOption(JobSettings& settings, int which, const char* value, char* error, size_t errorSize)
{
    static const char* const kModes[] = {"auto", "ack", "silent"};
    switch (which) {
    case 0:
        if ((settings.baud = ParseBaudRate(value))) return true;
        std::snprintf(error, errorSize, "baud rate must be %s, not '%s'", kBaudRateList, value);
        return false;
    case 1:
        for (int mode = 0; mode < 3; ++mode) {
            if (std::strcmp(value, kModes[mode]) != 0) continue;
            settings.mode = AnswerMode(mode);
            return true;
        }
        std::snprintf(error, errorSize, "mode must be auto, ack or silent, not '%s'", value);
        return false;
    default:
        if (ParseSeconds(value, settings.answerTimeoutSeconds)) return true;
        std::snprintf(error, errorSize, "answer timeout must be 0 (for ever) or 0.001 to 86400 seconds, not '%s'",
                      value);
        return false;
    }
}

void ResetJob(PortJob& job, const char* name)
{
    std::snprintf(job.name, sizeof job.name, "%s", name);
    job.port = nullptr;
    job.kind = PortKind::Serial;
    job.otherHolder[0] = '\0';
    job.serialNumber[0] = '\0';
    job.sent.store(0);
    job.answered.store(0);
    job.finished.store(false);
    job.outcome = WriteOutcome::Error;
    job.seconds = 0;
    job.exitStatus = kExitOk;
    job.reason[0] = '\0';
    job.lastReported = -1;
    job.warnedFirstAnswer = false;
    job.ended = nullptr;
    job.endedContext = nullptr;
    PrepareWriteJob(job.job);
}

bool OpenJob(PortJob& job, const JobSettings& settings, const FirmwareSnapshot& firmware)
{
    job.startedAt = job.endedAt = std::chrono::system_clock::now();
    PortOpening opened = OpenPort(job.name, settings.baud, settings.mode);
    if (!opened.port) {
        std::snprintf(job.reason, sizeof job.reason, "%s", opened.message);
        job.exitStatus = kExitPortNotOpened;
        return false;
    }
    job.port = opened.port;
    job.kind = opened.kind;
    std::snprintf(job.otherHolder, sizeof job.otherHolder, "%s", opened.otherHolder);
    PrepareWriteJob(job.job);
    job.job.image = firmware.bytes;
    job.job.imageSize = firmware.size;
    FillPortSeam(job.job.seam, job.port);
    job.job.seam.frontEnd = &job;
    job.job.seam.notify = OnNotification;
    job.job.ackMode = opened.ackMode;
    job.job.answerTimeoutMs = (unsigned long)(settings.answerTimeoutSeconds * 1000 + 0.5);
    job.job.batch = job.batch;
    job.job.batchSize = opened.lineBytesPerSecond ? opened.lineBytesPerSecond / 10 : sizeof job.batch;
    if (job.job.batchSize < kMaxFrameSize) job.job.batchSize = kMaxFrameSize;
    if (job.otherHolder[0]) {
        char text[200];
        std::snprintf(text, sizeof text, "also open in %s, which may take the device's answers", job.otherHolder);
        Tell(job, settings, "warning", text);
    }
    if (settings.verbose) SayHowDriven(job, settings);
    if (settings.verbose && opened.latencyNote[0]) Tell(job, settings, "port", opened.latencyNote);
    return true;
}

void StartJob(PortJob& job)
{
    job.startedAt = std::chrono::system_clock::now();
    job.thread = std::thread(RunJob, &job);
}

void FinishJob(PortJob& job, const JobSettings& settings)
{
    if (job.thread.joinable()) job.thread.join();
    if (!job.port) return;
    job.exitStatus = ExitStatusOf(job.outcome);
    if (job.outcome == WriteOutcome::Error) DescribeFailure(job, settings, job.reason, sizeof job.reason);
    if (job.outcome == WriteOutcome::Aborted)
        std::snprintf(job.reason, sizeof job.reason, "aborted after %lu frames", job.job.frames);
    ClosePort(job.port);
    job.port = nullptr;
}

const char* ResultName(int exitStatus)
{
    switch (exitStatus) {
    case kExitOk: return "written";
    case kExitAborted: return "aborted";
    case kExitPortNotOpened: return "not opened";
    default: return "failed";
    }
}

void FormatProgress(const PortJob& job, long long total, double seconds, char* text, size_t size)
{
    long long sent = job.sent.load();
    double rate = seconds > 0 ? double(sent) / seconds : 0;
    int percent = total > 0 ? int(100.0 * double(sent) / double(total)) : 100;
    char state[32] = "";
    if (job.finished.load()) {
        const char* names[] = {"done", "failed", "aborted"};
        std::snprintf(state, sizeof state, ", %s", names[int(job.outcome)]);
    } else if (rate > 0 && sent < total) {
        std::snprintf(state, sizeof state, ", %.0f s left", double(total - sent) / rate);
    }
    std::snprintf(text, size, "%s: %lld of %lld bytes, %3d%%, %.0f bytes/s%s", job.name, sent, total, percent, rate,
                  state);
}

void PrintOutcome(const PortJob& job, const JobSettings& settings, bool quiet)
{
    if (settings.json) {
        std::printf("{\"event\":\"outcome\",\"port\":");
        PrintJsonString(stdout, job.name);
        std::printf(",\"result\":\"%s\",\"exit\":%d,\"sent\":%lld,\"frames\":%lu,\"seconds\":%.3f,\"reason\":",
                    ResultName(job.exitStatus), job.exitStatus, job.sent.load(), job.job.frames, job.seconds);
        PrintJsonString(stdout, job.reason);
        std::printf("}\n");
        std::fflush(stdout);
        return;
    }
    if (job.exitStatus != kExitOk)
        Say(stderr, "%s: %s: %s\n", job.name, ResultName(job.exitStatus), job.reason);
    else if (!quiet)
        Say(stderr, "%s: written, %lld bytes in %lu frames, %.1f s\n", job.name, job.sent.load(), job.job.frames,
            job.seconds);
}

void WarnIfFirstAnswerLate(PortJob& job, const JobSettings& settings, std::chrono::steady_clock::duration waited)
{
    if (job.warnedFirstAnswer || !job.port || !job.job.ackMode || job.finished.load() || job.answered.load() > 0 ||
        waited < kFirstAnswerPatience)
        return;
    job.warnedFirstAnswer = true;
    Tell(job, settings, "warning",
         "no answer to the first frame after 3 seconds: is this the device's port, is the baud rate right "
         "(--baud), and is the device in its download mode?");
}

void FindSerialNumber(const char* name, char (&serialNumber)[64])
{
    struct Search {
        const char* name;
        char* serialNumber;
    } search = {name, serialNumber};
    serialNumber[0] = '\0';
    ListPorts([](void* context, const PortListing& port) {
        Search& looking = *static_cast<Search*>(context);
        if (std::strcmp(port.name, looking.name) == 0 || std::strcmp(port.stableName, looking.name) == 0)
            std::memcpy(looking.serialNumber, port.serialNumber, sizeof port.serialNumber);
    }, &search);
}
