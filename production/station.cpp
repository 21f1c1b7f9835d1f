// The station's rules: which board gets a job, when a slot may take the
// next one, how the tally counts, and when the station is done.
#include <algorithm>
#include <cstdio>
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

// The recipe's quota of boards, or 0.
unsigned long Quota(const Station& station) { return station.recipe ? station.recipe->recipe->boards : 0; }

bool TakesNewBoards(const Station& station)
{
    if (station.stopRequested.load() || station.logFailed || station.paused) return false;
    if (Quota(station) && BoardsWritten(station) + RunningJobs(station) >= Quota(station)) return false;
    return !station.count || station.tally.written + RunningJobs(station) < station.count;
}

// Under a recipe, before the board's job (StartNextBoard has looked at the
// log): the state file is still there, and the board's number is out and
// saved; then its image.
bool HandOutBoard(Station& station, BoardRun& board, Failure& failure)
{
    StationRecipe& run = *station.recipe;
    const Recipe& recipe = *run.recipe;
    board.attempt = 1;
    board.serialWentOut = false;
    board.holdsSerial = false;
    board.image.firstLine = 0;
    board.snapshot = *station.firmware;
    if (recipe.serial.present) {
        FILE* state = std::fopen(recipe.serial.statePath.c_str(), "rb");
        if (!state) return Fail(failure, "the state file %s has gone; no new board", recipe.serial.statePath.c_str());
        std::fclose(state);
        SerialState before = run.state;
        if (!HandOutSerial(run.state, board.serial))
            return Fail(failure, "the serial numbers %llu..%llu are used up", recipe.serial.first, recipe.serial.last);
        if (!SaveSerialState(recipe, run.state, failure)) {
            run.state = before;
            return false;
        }
        board.holdsSerial = true;
        // Checked against the block's first number before any board: cannot fail here.
        if (!PatchSerial(*station.firmware, recipe.serial, board.serial, board.image, failure)) return false;
        board.snapshot = SnapshotOfBoard(board.image);
    }
    DigestOfSentBytes(board.snapshot, board.sentSha256);
    return true;
}

// How the board's attempt ended for its number, into `record`; true when
// the job is to run again (a failed job, retries left).
bool SettleBoard(Station& station, int index, const PortJob& job, BoardRecord& record)
{
    StationRecipe& run = *station.recipe;
    BoardRun& board = run.boards[index];
    bool written = job.exitStatus == kExitOk;
    SerialOutcome outcome = OutcomeOfJob(written, job.job.line, board.image.firstLine);
    if (outcome == SerialOutcome::Returned && board.serialWentOut) outcome = SerialOutcome::Spent;
    board.serialWentOut |= outcome == SerialOutcome::Spent;
    bool retry = job.exitStatus == kExitFailed && board.attempt <= run.recipe->retries && !station.stopRequested.load();
    record = {job.name, board.attempt, board.holdsSerial, board.serial, outcome, board.sentSha256};
    if (!retry && board.holdsSerial) SettleSerial(run.state, board.serial, outcome);
    if (!retry) board.holdsSerial = false;
    return retry;
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

// The board's job, its port opened; RunOpenedBoards starts it.
void OpenBoard(Station& station, StationSlot& slot, int index)
{
    PortJob& job = station.jobs[index];
    ResetJob(job, slot.name);
    std::memcpy(job.serialNumber, slot.serialNumber, sizeof job.serialNumber);
    job.ended = OnJobEnded;
    slot.job = index;
    const FirmwareSnapshot& firmware = station.recipe ? station.recipe->boards[index].snapshot : *station.firmware;
    if (!OpenJob(job, station.settings, firmware)) {
        job.finished.store(true);  // a port that cannot be opened ends its job at once
        return;
    }
}

void StopFixture(const LineWatchSeam& seam, StationSlot& slot)
{
    if (slot.fixture) seam.stop(slot.fixture);
    slot.fixture = nullptr;
}

bool EverySlotEnded(const Station& station)
{
    for (int i = 0; i < station.slotCount; ++i)
        if (!station.slots[i].written) return false;
    return true;
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
    // The next device in the slot may have another number, or none.
    if (present) std::snprintf(slot->serialNumber, sizeof slot->serialNumber, "%s", serialNumber);
    return true;
}

// A named port's USB serial number is looked up once each time its device
// comes: a look lists every port, and the station looks ten times a second.
void LookAtNamedPorts(Station& station)
{
    for (int i = 0; i < station.portCount; ++i) {
        const char* name = station.ports[i];
        StationSlot* known = FindSlot(station, name);
        if (!known) continue;
        bool present = PortIsPresent(name);
        char serialNumber[64];
        std::memcpy(serialNumber, known->serialNumber, sizeof serialNumber);
        if (present && !known->serialNumberKnown) FindSerialNumber(name, serialNumber);
        known->serialNumberKnown = present;
        SeeSlot(station, name, present, serialNumber);
    }
}

void LookForDevices(Station& station)
{
    for (int i = 0; i < station.slotCount; ++i) station.slots[i].present = false;
    if (station.portCount) return LookAtNamedPorts(station);
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
        if (station.recipe && !HandOutBoard(station, station.recipe->boards[index], station.logFailure)) {
            station.logFailed = true;
            return -1;
        }
        if (station.recipe) {
            const BoardRun& board = station.recipe->boards[index];
            slot.hasSerial = board.holdsSerial;
            slot.serial = board.serial;
            slot.serialState = SerialOutcome::Unknown;  // out, no outcome yet
        }
        std::snprintf(slot.last, sizeof slot.last, "writing");
        OpenBoard(station, slot, index);
        return i;
    }
    return -1;
}

void RunOpenedBoards(Station& station)
{
    for (int i = 0; i < station.slotCount; ++i) {
        if (station.slots[i].job < 0) continue;
        PortJob& job = station.jobs[station.slots[i].job];
        if (!job.port || job.thread.joinable() || job.finished.load()) continue;
        if (station.stopRequested.load()) job.job.running.store(0);
        StartJob(job);
    }
}

int FinishNextBoard(Station& station)
{
    for (int i = 0; i < station.slotCount; ++i) {
        StationSlot& slot = station.slots[i];
        if (slot.job < 0 || !station.jobs[slot.job].finished.load()) continue;
        PortJob& job = station.jobs[slot.job];
        int index = slot.job;
        FinishJob(job, station.settings);
        BoardRecord record = {};
        bool retry = station.recipe && SettleBoard(station, index, job, record);
        slot.lastJob = slot.job;
        slot.serialState = record.serialState;
        slot.lastExitStatus = job.exitStatus;
        if (!retry) {
            slot.job = -1;
            slot.written = true;
            CountOutcome(station.tally, job.exitStatus);
        }
        // Through a buffer of its own: the compiler cannot tell the slot's
        // text from the job's reason, both inside the station.
        char last[sizeof slot.last];
        if (job.exitStatus == kExitOk)
            std::snprintf(last, sizeof last, "written, %lld bytes in %.1f s", job.sent.load(), job.seconds);
        else
            std::snprintf(last, sizeof last, "%s%s: %s", ResultName(job.exitStatus), retry ? " (trying again)" : "",
                          job.reason);
        if (record.hasSerial)
            std::snprintf(last + std::strlen(last), sizeof last - std::strlen(last), "; serial number %llu %s",
                          record.serial, SerialOutcomeName(record.serialState));
        std::memcpy(slot.last, last, sizeof last);
        // The line first, then the state: a stop between them leaves the
        // number out, logged again as unknown, never unlogged.
        if (!station.logFailed && station.log &&
            !LogJob(*station.log, job, station.logFailure, station.recipe ? &record : nullptr))
            station.logFailed = true;
        if (station.recipe && station.recipe->recipe->serial.present && !retry && !station.logFailed &&
            !SaveSerialState(*station.recipe->recipe, station.recipe->state, station.logFailure))
            station.logFailed = true;
        if (retry) {
            ++station.recipe->boards[index].attempt;
            OpenBoard(station, slot, index);
        }
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

const LineWatchSeam kPortLineWatch = {WatchModemLine, ModemLineRose, StopWatchingModemLine};

int WatchFixtureLines(Station& station)
{
    const LineWatchSeam& seam = station.lineWatch ? *station.lineWatch : kPortLineWatch;
    const std::vector<SlotLine> none;
    const std::vector<SlotLine>& lines = station.recipe ? station.recipe->recipe->nextBoardLines : none;
    for (int i = 0; i < station.slotCount; ++i) {
        StationSlot& slot = station.slots[i];
        auto line = std::find_if(lines.begin(), lines.end(), [&](const SlotLine& each) { return each.slot == slot.name; });
        if (line == lines.end()) continue;
        bool waiting = slot.present && slot.written && slot.job < 0 && !station.stopRequested.load();
        if (!waiting) {
            StopFixture(seam, slot);  // the port is the job's again
        } else if (!slot.fixture) {
            Failure ignored;  // a port that cannot be watched now is tried again at the next look
            slot.fixture = seam.watch(slot.name, line->line, ignored);
        } else if (seam.rose(slot.fixture)) {
            StopFixture(seam, slot);
            slot.written = false;  // the next board is in
            return i;
        }
    }
    return -1;
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

namespace {

// The numbers a stop left out whose board's "written" record had reached
// the log: the stop came between the record and the state file. Those
// boards were written and count toward the quota; only the rest are
// unknown. A log that cannot be read settles none.
bool SettleLoggedWrites(const JobLog& log, SerialState& state, std::vector<unsigned long long>& unknown)
{
    FirmwareSnapshot text;
    Failure unreadable;
    if (unknown.empty() || !log.file || !TakeSnapshot(log.path, text, unreadable)) return false;
    std::vector<LogSummary> summaries;
    SummarizeLog(text.bytes, text.size, summaries);
    ReleaseSnapshot(text);
    bool settled = false;
    for (const LogSummary& summary : summaries) {
        if (summary.recipe != state.recipeName) continue;
        for (unsigned long long number : summary.serialsWritten) {
            auto found = std::find(unknown.begin(), unknown.end(), number);
            if (found == unknown.end()) continue;
            unknown.erase(found);
            state.out.push_back(number);  // back out, to be settled as its record says
            SettleSerial(state, number, SerialOutcome::Written);
            settled = true;
        }
    }
    return settled;
}

}  // namespace

bool StartRecipeRun(StationRecipe& run, JobLog& log, Failure& failure)
{
    for (BoardRun& board : run.boards) board.holdsSerial = false;
    if (!run.recipe->serial.present) return true;
    std::vector<unsigned long long> unknown;
    if (!OpenSerialState(*run.recipe, run.state, unknown, failure)) return false;
    bool settled = SettleLoggedWrites(log, run.state, unknown);
    for (unsigned long long serial : unknown)
        if (!LogUnknownSerial(log, serial, failure)) return false;
    return (unknown.empty() && !settled) || SaveSerialState(*run.recipe, run.state, failure);
}

unsigned long BoardsWritten(const Station& station)
{
    bool counted = station.recipe && station.recipe->recipe->serial.present;
    return counted ? station.recipe->state.written : station.tally.written;
}

bool StationIsDone(const Station& station)
{
    if (RunningJobs(station) > 0) return false;
    if (station.stopRequested.load() || station.logFailed) return true;
    if (station.once) return EverySlotEnded(station) || !TakesNewBoards(station);
    if (Quota(station) && BoardsWritten(station) >= Quota(station)) return true;
    return station.count && station.tally.written >= station.count;
}

int StationExitStatus(const Station& station)
{
    if (station.stopRequested.load()) return kExitAborted;
    return station.logFailed ? kExitFailed : kExitOk;
}
