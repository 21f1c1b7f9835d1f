// The station's rules, on ports that are never there to open: each board's
// job ends at once as "not opened", which is all the rules need to see.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>
#include <unistd.h>

#include "production.h"

namespace {

// A step of one slot's life: the board there or not, and whether the
// station is to start a job for it.
struct Step {
    bool present;
    bool starts;
};

enum class Before { Nothing, QuotaReached, Stopped, LogRemoved };

struct Scenario {
    const char* what;
    Before before;
    std::vector<Step> steps;
};

Station theStation;
FirmwareSnapshot theFirmware = {const_cast<char*>("S9030000FC\n"), 11, false, ""};

void Play(const Scenario& row, JobLog& log)
{
    theStation.ports = nullptr;
    theStation.portCount = 0;
    theStation.count = row.before == Before::QuotaReached ? 1 : 0;
    theStation.settings = {9600, AnswerMode::Auto, 1};
    theStation.firmware = &theFirmware;
    theStation.log = &log;
    theStation.stopRequested.store(false);
    ResetStation(theStation);
    if (row.before == Before::QuotaReached) theStation.tally.written = 1;
    if (row.before == Before::Stopped) StopStation(theStation);
    int step = 0;
    for (const Step& each : row.steps) {
        SCOPED_TRACE("step " + std::to_string(++step));
        ASSERT_TRUE(SeeSlot(theStation, "/nonexistent/quorvane-slot", each.present, "SN1"));
        int started = StartNextBoard(theStation);
        EXPECT_EQ(started, each.starts ? 0 : -1);
        EXPECT_EQ(StartNextBoard(theStation), -1) << "a slot takes one board at a time";
        if (started < 0) continue;
        EXPECT_EQ(FinishNextBoard(theStation), 0);
        EXPECT_STREQ(theStation.slots[0].last,
                     "not opened: cannot open /nonexistent/quorvane-slot: No such file or directory");
    }
}

TEST(StationRules, EachBoardOnceWhileItStaysAndNoneWithoutItsRecord)
{
    const Scenario rows[] = {
        {"written once while it stays", Before::Nothing, {{true, true}, {true, false}, {true, false}}},
        {"written again when it comes back", Before::Nothing, {{true, true}, {false, false}, {true, true}}},
        {"nothing where no board is", Before::Nothing, {{false, false}, {false, false}}},
        {"none past the count of boards", Before::QuotaReached, {{true, false}}},
        {"none once stopped", Before::Stopped, {{true, false}}},
        {"none once the log has gone", Before::LogRemoved, {{true, false}, {false, false}, {true, false}}},
    };
    char folder[] = "/tmp/station_test_XXXXXX";
    ASSERT_TRUE(mkdtemp(folder));
    std::string path = std::string(folder) + "/station.jsonl";
    for (const Scenario& row : rows) {
        SCOPED_TRACE(row.what);
        JobLog log;
        Failure failure;
        ASSERT_TRUE(OpenJobLog(log, path.c_str(), "fw.mot", theFirmware, failure)) << failure.text;
        if (row.before == Before::LogRemoved) std::remove(path.c_str());
        Play(row, log);
        bool logGone = row.before == Before::LogRemoved;
        EXPECT_EQ(theStation.logFailed, logGone);
        EXPECT_EQ(StationIsDone(theStation), logGone || row.before != Before::Nothing);
        if (logGone) {
            EXPECT_EQ(std::string(theStation.logFailure.text), "cannot write the log " + path + ": the file was removed");
        }
        unsigned long jobs = 0;
        for (const Step& step : row.steps) jobs += step.starts;
        EXPECT_EQ(theStation.tally.failed, jobs);
        CloseJobLog(log);
        std::remove(path.c_str());
    }
    rmdir(folder);
}

// A fixture that raises CTS when the next board is in, as the test says.
struct Fixture {
    int watches, stops;
    bool rises;
} theFixture;
LineWatch* WatchFixture(const char*, ModemLine line, Failure&)
{
    EXPECT_EQ(line, ModemLine::Cts);
    ++theFixture.watches;
    return reinterpret_cast<LineWatch*>(&theFixture);
}
bool FixtureRose(LineWatch*) { return theFixture.rises; }
void StopFixture(LineWatch*) { ++theFixture.stops; }
const LineWatchSeam kFixture = {WatchFixture, FixtureRose, StopFixture};

// Two slots whose ports stay, one with a fixture's line: that one takes its
// next board when the line rises, the port free of the watch by then; the
// other waits for the operator.
TEST(StationRules, AFixturesLineTakesTheNextBoard)
{
    const std::string text = "name = \"r\"\n[image]\nfile = \"f.mot\"\nsha256 = \"" + std::string(64, '0') +
                             "\"\n[station]\nslots = [\"/nonexistent/a\", \"/nonexistent/b\"]\n"
                             "[station.next_board_line]\n\"/nonexistent/a\" = \"CTS\"\n";
    static Recipe recipe;
    Failure failure;
    ASSERT_TRUE(ParseRecipe(text.data(), text.size(), "r.toml", recipe, failure)) << failure.text;
    static StationRecipe run;
    run.recipe = &recipe;
    theStation.ports = nullptr;
    theStation.portCount = 0;
    theStation.count = 0;
    theStation.log = nullptr;
    theStation.stopRequested.store(false);
    theStation.settings = {9600, AnswerMode::Auto, 1};
    theStation.firmware = &theFirmware;
    theStation.recipe = &run;
    theStation.lineWatch = &kFixture;
    ResetStation(theStation);
    for (const char* slot : {"/nonexistent/a", "/nonexistent/b"}) ASSERT_TRUE(SeeSlot(theStation, slot, true, ""));
    const struct {
        bool rises;
        int takes;            // the slot WatchFixtureLines gives its next board, or -1
        int watches, stops;   // so far
    } steps[] = {
        {false, -1, 1, 0},  // the boards written: the watch begins
        {false, -1, 1, 0},
        {true, 0, 1, 1},    // risen: the watch stopped before the port is opened again
        {false, -1, 2, 1},  // the next board written: watched again
    };
    EXPECT_EQ(WatchFixtureLines(theStation), -1);
    EXPECT_EQ(theFixture.watches, 0) << "a port about to be written is not watched";
    int step = 0;
    for (const auto& each : steps) {
        SCOPED_TRACE("step " + std::to_string(++step));
        while (StartNextBoard(theStation) >= 0) {
        }
        while (FinishNextBoard(theStation) >= 0) {
        }
        theFixture.rises = each.rises;
        EXPECT_EQ(WatchFixtureLines(theStation), each.takes);
        EXPECT_EQ(theFixture.watches, each.watches);
        EXPECT_EQ(theFixture.stops, each.stops);
    }
    EXPECT_EQ(theStation.tally.failed, 3u) << "a, b, then a's next board";
}

// A named port's adapter, as a sysfs tree and a device node of the test's
// own: unplugged, then another adapter (another USB serial number, or none)
// plugged in at the same name. The slot tells the device there now.
TEST(StationRules, ANamedPortsSerialNumberIsTheDeviceThereNow)
{
    char pattern[] = "/tmp/quorvane-slot-XXXXXX";
    const std::string root = mkdtemp(pattern), port = root + "/dev/ttyUSB0";
    setenv("QUORVANE_SYSFS_ROOT", (root + "/sys").c_str(), 1);
    setenv("QUORVANE_DEV_ROOT", (root + "/dev").c_str(), 1);
    const std::string usb = root + "/sys/devices/usb1/1-1";
    std::system(("mkdir -p '" + usb + "/1-1:1.0/ttyUSB0/tty/ttyUSB0' '" + root + "/sys/class/tty' '" + root +
                 "/dev' && echo 0403 >'" + usb + "/idVendor' && echo 6001 >'" + usb + "/idProduct' && echo 188:0 >'" +
                 usb + "/1-1:1.0/ttyUSB0/tty/ttyUSB0/dev' && ln -s '" + usb + "/1-1:1.0/ttyUSB0/tty/ttyUSB0' '" + root +
                 "/sys/class/tty/ttyUSB0' && ln -s '" + usb + "/1-1:1.0/ttyUSB0' '" + usb +
                 "/1-1:1.0/ttyUSB0/tty/ttyUSB0/device'")
                    .c_str());
    const char* names[] = {port.c_str()};
    theStation.ports = names;
    theStation.portCount = 1;
    ResetStation(theStation);
    const struct {
        const char* serialNumber;  // the adapter's; nullptr: unplugged
        const char* seen;
    } steps[] = {{"A1", "A1"}, {"A1", "A1"}, {nullptr, "A1"}, {"B2", "B2"}, {nullptr, "B2"}, {"", ""}};
    int step = 0;
    for (const auto& each : steps) {
        SCOPED_TRACE("step " + std::to_string(++step));
        std::remove((usb + "/serial").c_str());
        std::remove(port.c_str());
        if (each.serialNumber) {
            std::ofstream(port) << "";
            if (each.serialNumber[0]) std::ofstream(usb + "/serial") << each.serialNumber << "\n";
        }
        LookForDevices(theStation);
        ASSERT_EQ(theStation.slotCount, 1);
        EXPECT_EQ(theStation.slots[0].present, each.serialNumber != nullptr);
        EXPECT_STREQ(theStation.slots[0].serialNumber, each.seen);
    }
    unsetenv("QUORVANE_SYSFS_ROOT");
    unsetenv("QUORVANE_DEV_ROOT");
    std::system(("rm -rf '" + root + "'").c_str());
}

}  // namespace
