// The station's rules: which board gets a job, when a slot may take the
// next one, how the tally counts, and when the station is done.
#include <cstring>

#include "production.h"

namespace {

void OnJobEnded(void*) { WakeStation(); }

StationSlot* FindSlot(Station& station, const char* name)
{
    for (int i = 0; i < station.slotCount; ++i)
        if (std::strcmp(station.slots[i].name, name) == 0) return &station.slots[i];
    if (station.slotCount == kMaxPorts) return nullptr;
    StationSlot& added = station.slots[station.slotCount++];
    added = {};
    std::snprintf(added.name, sizeof added.name, "%s", name);
    added.job = -1;
    return &added;
}

bool TakesNewBoards(const Station& station)
{
    if (station.stopRequested.load() || station.logFailed || station.paused) return false;
    return !station.count || station.tally.written + RunningJobs(station) < station.count;
}

int FreeJob(const Station& station)
{
    bool used[kMaxPorts] = {};
    for (int i = 0; i < station.slotCount; ++i)
        if (station.slots[i].job >= 0) used[station.slots[i].job] = true;
    for (int job = 0; job < kMaxPorts; ++job)
        if (!used[job]) return job;
    return -1;
}

void StartBoard(Station& station, StationSlot& slot, int index)
{
    PortJob& job = station.jobs[index];
    ResetJob(job, slot.name);
    std::memcpy(job.serialNumber, slot.serialNumber, sizeof job.serialNumber);
    job.ended = OnJobEnded;
    slot.job = index;
    std::snprintf(slot.last, sizeof slot.last, "writing");
    if (!OpenJob(job, station.settings, *station.firmware)) {
        job.finished.store(true);  // a port that cannot be opened ends its job at once
        return;
    }
    if (station.stopRequested.load()) job.job.running.store(0);
    StartJob(job);
}

void CountOutcome(StationTally& tally, int exitStatus)
{
    ++(exitStatus == kExitOk ? tally.written : exitStatus == kExitAborted ? tally.aborted : tally.failed);
}

}  // namespace

void ResetStation(Station& station)
{
    station.slotCount = 0;
    station.tally = {0, 0, 0};
    station.logFailed = false;
    station.paused = false;
    station.logFailure.text[0] = '\0';
}

void StopStation(Station& station)
{
    station.stopRequested.store(true);
    for (PortJob& job : station.jobs) job.job.running.store(0);
}

bool SeeSlot(Station& station, const char* name, bool present, const char* serialNumber)
{
    StationSlot* slot = FindSlot(station, name);
    if (!slot) return false;
    slot->present = present;
    if (present && serialNumber[0]) std::snprintf(slot->serialNumber, sizeof slot->serialNumber, "%s", serialNumber);
    return true;
}

void LookForDevices(Station& station)
{
    for (int i = 0; i < station.slotCount; ++i) station.slots[i].present = false;
    if (station.portCount) {
        for (int i = 0; i < station.portCount; ++i) {
            const char* name = station.ports[i];
            StationSlot* known = FindSlot(station, name);
            if (!known) continue;
            char serialNumber[64] = "";
            bool present = PortIsPresent(name);
            if (present && !known->serialNumber[0]) FindSerialNumber(name, serialNumber);
            SeeSlot(station, name, present, serialNumber);
        }
        return;
    }
    ListPorts([](void* context, const PortListing& port) {
        if (port.kind == PortKind::DeviceUsb) SeeSlot(*static_cast<Station*>(context), port.name, true, port.serialNumber);
    }, &station);
}

int StartNextBoard(Station& station)
{
    if (!station.logFailed && station.log && !JobLogIsWritable(*station.log, station.logFailure))
        station.logFailed = true;
    for (int i = 0; i < station.slotCount; ++i) {
        StationSlot& slot = station.slots[i];
        if (!slot.present) slot.written = false;
        if (!slot.present || slot.written || slot.job >= 0 || !TakesNewBoards(station)) continue;
        int index = FreeJob(station);
        if (index < 0) return -1;
        StartBoard(station, slot, index);
        return i;
    }
    return -1;
}

int FinishNextBoard(Station& station)
{
    for (int i = 0; i < station.slotCount; ++i) {
        StationSlot& slot = station.slots[i];
        if (slot.job < 0 || !station.jobs[slot.job].finished.load()) continue;
        PortJob& job = station.jobs[slot.job];
        FinishJob(job, station.settings);
        slot.lastJob = slot.job;
        slot.job = -1;
        slot.written = true;
        slot.lastExitStatus = job.exitStatus;
        CountOutcome(station.tally, job.exitStatus);
        // Through a buffer of its own: the compiler cannot tell the slot's
        // text from the job's reason, both inside the station.
        char last[sizeof slot.last];
        if (job.exitStatus == kExitOk)
            std::snprintf(last, sizeof last, "written, %lld bytes in %.1f s", job.sent.load(), job.seconds);
        else
            std::snprintf(last, sizeof last, "%s: %s", ResultName(job.exitStatus), job.reason);
        std::memcpy(slot.last, last, sizeof last);
        if (!station.logFailed && station.log && !LogJob(*station.log, job, station.logFailure))
            station.logFailed = true;
        return i;
    }
    return -1;
}

bool TakeNextBoard(Station& station, const char* name, Failure& failure)
{
    for (int i = 0; i < station.slotCount; ++i) {
        StationSlot& slot = station.slots[i];
        if (std::strcmp(slot.name, name) != 0) continue;
        if (slot.job >= 0) return Fail(failure, "%s is still writing its board", name);
        slot.written = false;
        return true;
    }
    return Fail(failure, "the station has no slot %s", name);
}

const char* SlotState(const StationSlot& slot)
{
    if (slot.job >= 0) return "writing";
    if (!slot.present) return "unplugged";
    return slot.written ? ResultName(slot.lastExitStatus) : "waiting";
}

int RunningJobs(const Station& station)
{
    int running = 0;
    for (int i = 0; i < station.slotCount; ++i) running += station.slots[i].job >= 0;
    return running;
}

bool StationIsDone(const Station& station)
{
    if (RunningJobs(station) > 0) return false;
    if (station.stopRequested.load() || station.logFailed) return true;
    return station.count && station.tally.written >= station.count;
}

int StationExitStatus(const Station& station)
{
    if (station.stopRequested.load()) return kExitAborted;
    return station.logFailed ? kExitFailed : kExitOk;
}
