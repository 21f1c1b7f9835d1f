// One device's write job on a thread of its own, and what is said of it.
#include "production.h"

#include <cstdlib>
#include <cstring>


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

}  // namespace

void ResetJob(PortJob& job, const char* name)
{
    std::snprintf(job.name, sizeof job.name, "%s", name);
    job.port = nullptr;
    job.kind = PortKind::Serial;
    job.otherHolder[0] = '\0';
    job.latencyNote[0] = '\0';
    job.lineNote[0] = '\0';
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
    std::snprintf(job.latencyNote, sizeof job.latencyNote, "%s", opened.latencyNote);
    std::snprintf(job.lineNote, sizeof job.lineNote, "%s", opened.lineNote);
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

bool FirstAnswerIsLate(PortJob& job, std::chrono::steady_clock::duration waited)
{
    if (job.warnedFirstAnswer || !job.port || !job.job.ackMode || job.finished.load() || job.answered.load() > 0 ||
        waited < kFirstAnswerPatience)
        return false;
    job.warnedFirstAnswer = true;
    return true;
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
        if (std::strcmp(port.name, looking.name) == 0 || std::strcmp(port.stableName, looking.name) == 0 ||
            std::strcmp(port.place, looking.name) == 0)
            std::memcpy(looking.serialNumber, port.serialNumber, sizeof port.serialNumber);
    }, &search);
}
