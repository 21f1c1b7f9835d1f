#include "scripted_port.h"

#include <cstdio>

namespace quorvane_test {
namespace {

ScriptedPort& PortOf(void* context) { return *static_cast<ScriptedPort*>(context); }

void PressAbortIf(ScriptedPort& port, int trigger, int call)
{
    if (trigger == call && port.job) port.job->running = 0;
}

long ScriptedWrite(void* context, const uint8_t* bytes, size_t count)
{
    ScriptedPort& port = PortOf(context);
    int call = port.writeCalls++;
    long accepted = long(count);
    if (size_t(call) < port.writeLimits.size()) {
        if (port.writeLimits[call] == kLost) return kLost;
        if (port.writeLimits[call] < accepted) accepted = port.writeLimits[call];
    }
    port.wire.insert(port.wire.end(), bytes, bytes + accepted);
    PressAbortIf(port, port.abortAtWrite, call);
    return accepted;
}

ReadResult ScriptedRead(void* context, uint8_t* byte)
{
    ScriptedPort& port = PortOf(context);
    int call = port.readCalls++;
    port.clockMs += port.msPerRead;
    Answer answer = port.afterScript;
    if (!port.answers.empty()) {
        answer = port.answers.front();
        port.answers.pop_front();
    }
    *byte = answer.byte;
    PressAbortIf(port, port.abortAtRead, call);
    return answer.result;
}

// The pause takes its 100 ms on the fake clock.
void ScriptedPause(void* context)
{
    ScriptedPort& port = PortOf(context);
    ++port.pauses;
    port.clockMs += 100;
}

void ScriptedNotify(void* context, WriteNote message, long long total)
{
    ScriptedPort& port = PortOf(context);
    port.notes.push_back({message, total});
    PressAbortIf(port, port.abortAtNote, int(port.notes.size()) - 1);
}

unsigned long long ScriptedNow(void* context) { return PortOf(context).clockMs; }

}  // namespace

TransferSeam SeamFor(ScriptedPort& port)
{
    return {&port, &port, ScriptedWrite, ScriptedRead, ScriptedPause, ScriptedNotify, ScriptedNow};
}

WriteOutcome RunScripted(ScriptedPort& port, const std::string& fileText, int ackMode,
                         unsigned long answerTimeoutMs, WriteJob* jobOut)
{
    FILE* file = std::tmpfile();
    if (!file) return WriteOutcome::Error;
    std::fwrite(fileText.data(), 1, fileText.size(), file);
    std::rewind(file);

    WriteJob localJob;
    WriteJob& job = jobOut ? *jobOut : localJob;
    PrepareWriteJob(job);
    job.source = file;
    job.seam = SeamFor(port);
    job.ackMode = ackMode;
    job.answerTimeoutMs = answerTimeoutMs;
    static uint8_t batch[65536];
    job.batch = port.batchSize ? batch : nullptr;
    job.batchSize = port.batchSize;
    port.job = &job;
    WriteOutcome outcome = RunWriteJob(job);
    port.job = nullptr;
    std::fclose(file);
    return outcome;
}

Bytes WireFor(const std::vector<std::string>& lines, bool withEnd)
{
    Bytes wire(StartSequence, StartSequence + kControlSequenceSize);
    uint8_t frame[kMaxFrameSize];
    for (const std::string& line : lines) {
        FrameResult result = EncodeLine(line.data(), line.size(), frame);
        if (result.kind == FrameKind::Frame) wire.insert(wire.end(), frame, frame + result.size);
    }
    if (withEnd) wire.insert(wire.end(), EndSequence, EndSequence + kControlSequenceSize);
    return wire;
}

}  // namespace quorvane_test
