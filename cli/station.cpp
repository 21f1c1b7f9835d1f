// `station`: a production line's write station. The file is read and
// checked once; then every device that is plugged in gets its own job on
// its own thread, is written once while it stays, and is logged.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli.h"
#include "plant.h"
#include "recipe.h"
#include "web.h"

namespace {

const char kStationHelp[] =
    "Checks FILE once, shows its summary and its SHA-256 digests (of the file,\n"
    "and of the bytes a job sends), then waits for devices: the target device's\n"
    "own USB ports (0d5c:0002) by default, or the PORTs given. Each device that\n"
    "appears is written at once on a job of its own, several at a time; one that\n"
    "stays plugged in is not written again until it has gone and come back. One\n"
    "line per device shows its port, USB serial number, progress and outcome,\n"
    "and a tally counts the boards written, failed and aborted.\n"
    "{station-ports}"
    "\n"
    "      --recipe R        what the recipe R pins: the image (no FILE), line\n"
    "                        settings, slots, serial numbers, retries, quota,\n"
    "                        log, broker and page; an option that contradicts\n"
    "                        it is refused\n"
    "  -p, --port PORT       a port to watch (give it several times); default:\n"
    "                        every port of the target device's own USB kind\n"
    "  -n, --count N         end after N boards written\n"
    "  -l, --log FILE.jsonl  append one JSON line per job to FILE.jsonl; a log\n"
    "                        that cannot be opened stops the station before\n"
    "                        anything is sent, one that can no longer be written\n"
    "                        stops it taking new devices\n"
    "  -b, --baud RATE       4800, 9600 (the default), 19200 or 38400\n"
    "  -m, --mode MODE       auto (the default), ack or silent, as for write\n"
    "  -t, --answer-timeout S  as for write (default 30)\n"
    "      --base ADDRESS    FILE is a raw binary image that loads at ADDRESS\n"
    "      --record-size N   data bytes per S3 record of a converted image\n"
    "  -v, --verbose         say how each port is driven\n"
    "      --http [ADDRESS:]PORT  serve the station's page, its event stream and\n"
    "                        its API (127.0.0.1 unless ADDRESS is given; port 0:\n"
    "                        any free one; not in the Windows build)\n"
    "      --http-token TOKEN  what every POST must carry (Authorization: Bearer\n"
    "                        TOKEN); needed for an ADDRESS other than loopback\n"
    "  -h, --help            this text\n"
    "\n"
    "      --mqtt mqtt://HOST[:PORT]/PREFIX  publish each job's log line, as\n"
    "                        written, to PREFIX/NAME/jobs (QoS 1) and the\n"
    "                        station's status to PREFIX/NAME/status (retained);\n"
    "                        the log is the spool: a broker that is away loses\n"
    "                        nothing. mqtts:// for TLS. Needs --log\n"
    "      --mqtt-name NAME  the station's NAME (default: the log's file name\n"
    "                        without its extension)\n"
    "      --mqtt-ca FILE    TLS, the broker's certificate checked against FILE\n"
    "      --mqtt-user USER  the broker's user name\n"
    "      --mqtt-password-file FILE  the password: FILE's first line\n"
    "\n"
    "{stop-keys} ends the station: jobs under way are aborted at their next step\n"
    "and the tally is printed.\n"
    "\n"
    "exit status: 0 the count of boards was reached, 1 the log could no longer\n"
    "be written, 2 a usage error, a file that cannot be read or has problems, or\n"
    "a broker that refuses the password or the CA file, 3 ended by {stopped-by}.\n";

struct StationOptions {
    PortNames ports = {{}, 0};
    unsigned long count = 0;  // 0: until stopped
    const char* log = nullptr;
    JobSettings settings = {9600, AnswerMode::Auto, 30};
    Telling telling = {false, false};
    ImageOptions image;
    const char* recipe = nullptr;
    PlantOptions mqtt;
    WebOptions web = {};
};

Station theStation;
WebServer* theWeb;  // null without --http

void OnStopSignal(int) { StopStation(theStation); }

bool TakeCount(const CommandOption& row, const char* value, char* error, size_t errorSize)
{
    char* end = nullptr;
    unsigned long& count = *static_cast<unsigned long*>(row.field);
    count = std::strtoul(value, &end, 10);
    if (*value >= '1' && *value <= '9' && *end == '\0') return true;
    std::snprintf(error, errorSize, "--count takes a number of boards from 1, not '%s'", value);
    return false;
}

// " (serial number X)", or nothing where the device has none.
const char* SerialText(const char* serialNumber)
{
    static char text[96];
    text[0] = '\0';
    if (serialNumber[0]) std::snprintf(text, sizeof text, " (serial number %s)", serialNumber);
    return text;
}

// What the front end keeps of the station: its lines on a terminal.
struct Screen {
    bool terminal;
    LiveLines lines;
    long long total;
    std::chrono::steady_clock::time_point started;
};

void SayStarted(const Screen& screen, const StationOptions& options, int slot)
{
    const StationSlot& watched = theStation.slots[slot];
    if (!screen.terminal) Say(stderr, "%s%s: writing\n", watched.name, SerialText(watched.serialNumber));
    TellOpened(theStation.jobs[watched.job], options.settings, options.telling);
}

void SayFinished(const Screen& screen, int slot)
{
    const StationSlot& watched = theStation.slots[slot];
    if (!screen.terminal) Say(stderr, "%s%s: %s\n", watched.name, SerialText(watched.serialNumber), watched.last);
    if (!screen.terminal) PrintTally(nullptr, theStation.tally);
}

// Once, as the station finds that its log can no longer be written.
void SayIfLogFailed(bool& told)
{
    if (!theStation.logFailed || told) return;
    told = true;
    Say(stderr, "quorvane-cli station: %s; no new device is taken\n", theStation.logFailure.text);
}

// On a terminal: one line per device and the tally, drawn again in place.
void DrawLiveLines(Screen& screen)
{
    if (!screen.terminal) return;
    BeginRedraw(screen.lines);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - screen.started).count();
    for (int i = 0; i < theStation.slotCount; ++i) {
        const StationSlot& watched = theStation.slots[i];
        if (!watched.present && watched.job < 0 && !watched.last[0]) continue;
        char progress[400] = "";
        if (watched.job >= 0)
            FormatProgress(theStation.jobs[watched.job], screen.total, seconds, progress, sizeof progress);
        char line[800];
        std::snprintf(line, sizeof line, "%-28s %-16s %s", watched.name,
                      watched.serialNumber[0] ? watched.serialNumber : "-",
                      watched.job >= 0 ? progress + std::strlen(watched.name) + 2
                      : watched.present ? watched.last
                                        : "unplugged");
        DrawLine(screen.lines, line);
    }
    PrintTally(&screen.lines, theStation.tally);
    std::fflush(stderr);
}

void FinishBoards(const Screen& screen, bool& toldLogFailure)
{
    for (int slot; (slot = FinishNextBoard(theStation)) >= 0;) {
        PublishJob(theWeb, theStation, slot);
        SayFinished(screen, slot);
        SayIfLogFailed(toldLogFailure);
    }
}

void StartBoards(const Screen& screen, const StationOptions& options, bool& toldLogFailure)
{
    for (int slot; (slot = StartNextBoard(theStation)) >= 0;) SayStarted(screen, options, slot);
    RunOpenedBoards(theStation);
    SayIfLogFailed(toldLogFailure);
}

// A slot's next board though its port stays: its fixture's modem line rose,
// or Enter was pressed where the station has one port and a terminal.
void TakeSwappedBoards(bool enterTakesNext)
{
    while (WatchFixtureLines(theStation) >= 0) {
    }
    Failure ignored;  // a slot still writing keeps its board
    if (enterTakesNext && theStation.slotCount == 1 && EnterWasPressed())
        TakeNextBoard(theStation, theStation.slots[0].name, ignored);
}

void PrintStart(const StationOptions& options, const char* file, const FirmwareSnapshot& firmware,
                const FirmwareCheck& check, const JobLog& log)
{
    PrintFirmwareCheck(stderr, file, check, options.settings.baud);
    char sent[65];
    DigestOfSentBytes(firmware, sent);
    std::fprintf(stderr, "image sha256: %s\nsent sha256:  %s\n", firmware.fileSha256, sent);
    if (log.file) Say(stderr, "log: %s\n", log.path);
    if (!options.ports.count) {
        std::fprintf(stderr, "waiting for the target device's own USB ports (0d5c:0002); Ctrl-C ends\n");
        return;
    }
    std::fprintf(stderr, "waiting for");
    for (int i = 0; i < options.ports.count; ++i) Say(stderr, " %s", options.ports.names[i]);
    std::fprintf(stderr, "; Ctrl-C ends\n");
}

// A setting of the recipe's [mqtt] or [http] and the option that gives it:
// the option's text, null where the command line says nothing.
struct PinnedSetting {
    const char* option;
    const char*& given;
    const std::string& pinned;  // "": the recipe leaves it open
    const char* key;
    bool file;                  // a path: the same file by another name is no contradiction
};

// The first line of `path`, without its line end; false for a file that
// cannot be read or whose first line is empty.
bool ReadToken(const std::string& path, std::string& token, Failure& failure)
{
    FILE* file = OpenNamedFile(path.c_str(), "rb");
    if (!file) return Fail(failure, "cannot read the token file %s", path.c_str());
    char line[256] = "";
    if (!std::fgets(line, sizeof line, file)) line[0] = '\0';
    std::fclose(file);
    token.assign(line, std::strcspn(line, "\r\n"));
    return !token.empty() || Fail(failure, "the token file %s has no token on its first line", path.c_str());
}

// The recipe's broker and page (station only), where the command line says
// nothing of them; an option that says otherwise is refused, naming both
// (the token never: only its file). The options then point into `recipe`
// and `token`, which the caller keeps.
bool TakeStationRecipe(const Recipe& recipe, StationOptions& options, std::string& token, Failure& failure)
{
    PlantOptions& mqtt = options.mqtt;
    const PinnedSetting pinned[] = {
        {"--mqtt", mqtt.url, recipe.mqtt.url, "mqtt.url", false},
        {"--mqtt-name", mqtt.name, recipe.mqtt.name, "mqtt.name", false},
        {"--mqtt-user", mqtt.user, recipe.mqtt.user, "mqtt.user", false},
        {"--mqtt-password-file", mqtt.passwordFile, recipe.mqtt.passwordFile, "mqtt.password_file", true},
        {"--mqtt-ca", mqtt.caFile, recipe.mqtt.caFile, "mqtt.ca", true},
        {"--http", options.web.listen, recipe.http.listen, "http.listen", false},
    };
    for (const PinnedSetting& setting : pinned) {
        if (!setting.given || setting.pinned.empty()) continue;
        bool same = setting.file ? IsSameFile(setting.given, setting.pinned.c_str()) : setting.pinned == setting.given;
        if (!same)
            return Fail(failure, "the command line contradicts the recipe %s: %s %s, the recipe's %s %s",
                        recipe.path.c_str(), setting.option, setting.given, setting.key, setting.pinned.c_str());
    }
    for (const PinnedSetting& setting : pinned)
        if (!setting.given && !setting.pinned.empty()) setting.given = setting.pinned.c_str();
    if (recipe.http.tokenFile.empty()) return true;
    if (!ReadToken(recipe.http.tokenFile, token, failure)) return false;
    if (options.web.token && token != options.web.token)
        return Fail(failure, "the command line contradicts the recipe %s: --http-token, the token in the recipe's "
                    "http.token_file %s", recipe.path.c_str(), recipe.http.tokenFile.c_str());
    options.web.token = token.c_str();
    return true;
}

// The broker's and the page's options go together as they should.
bool StationOptionsFit(StationOptions& options, Failure& failure)
{
    return CheckWebOptions(options.web, failure) && MqttOptionsFit(options.mqtt, options.log, failure);
}

// The page and the API, listening before the first board is taken.
bool StartWeb(const WebOptions& options, const char* file, const FirmwareSnapshot& firmware,
              const FirmwareCheck& check)
{
    static WebImage image;
    image.file = file;
    image.sha256 = firmware.fileSha256;
    DigestOfSentBytes(firmware, image.sentSha256);
    image.total = (long long)check.frameData;
    char listening[96];
    Failure failure;
    if (!(theWeb = StartWebServer(options, image, listening, failure))) {
        Say(stderr, "quorvane-cli station: %s; nothing was sent\n", failure.text);
        return false;
    }
    Say(stderr, "the station's page: %s\n", listening);
    PublishStation(theWeb, theStation);
    return true;
}

int RunStation(int argc, char** argv)
{
    static StationOptions options;
    JobSettings& settings = options.settings;
    CommandOption rows[] = {
        PortRow(options.ports),
        ValueRow('n', "count", &options.count, TakeCount),
        TextRow('l', "log", options.log),
        FlagRow('v', "verbose", options.telling.verbose),
        BaudRow(settings.baud),
        ModeRow(settings.mode),
        AnswerTimeoutRow(settings.answerTimeoutSeconds),
        BaseRow(options.image),
        RecordSizeRow(options.image),
        TextRow(0, "recipe", options.recipe),
        MqttUrlRow(options.mqtt),
        TextRow(0, "mqtt-name", options.mqtt.name),
        TextRow(0, "mqtt-ca", options.mqtt.caFile),
        TextRow(0, "mqtt-user", options.mqtt.user),
        TextRow(0, "mqtt-password-file", options.mqtt.passwordFile),
        {}, {},  // --http and --http-token, where the build has them
    };
    constexpr int kWebRowsAt = int(sizeof rows / sizeof rows[0]) - kMaxWebOptionRows;
    int rowCount = kWebRowsAt + WebOptionRows(options.web, rows + kWebRowsAt);
    const char* file = nullptr;
    int status = kExitOk;
    if (!ParseFileCommandLine(kStationCommand, argc, argv, rows, rowCount, file, status, &options.recipe))
        return status;
    Failure failure;
    // Under a recipe, these are looked at once its settings are taken.
    if (!options.recipe && !StationOptionsFit(options, failure))
        return UsageError(kStationCommand, false, "%s", failure.text);
    CatchStopSignals(OnStopSignal);
    static FirmwareSnapshot firmware;
    static FirmwareCheck check;
    static JobLog log;
    static Recipe recipe;
    static StationRecipe run;
    static std::string token;
    bool ready = options.recipe ? PrepareRecipe(options.recipe, recipe, firmware, check, failure) &&
                                      TakeRecipeSettings(argc, argv, recipe, options.settings, options.log,
                                                         options.ports, failure) &&
                                      TakeStationRecipe(recipe, options, token, failure) &&
                                      StationOptionsFit(options, failure) &&
                                      OpenRecipeLog(log, options.log, recipe, QUORVANE_VERSION, firmware, failure)
                                : LoadFirmware(file, options.image, true, firmware, failure) &&
                                      OpenJobLog(log, options.log, file, firmware, failure);
    if (ready && options.recipe) {
        run.recipe = &recipe;
        file = recipe.imageFile.c_str();
        ready = StartRecipeRun(run, log, failure);
    }
    if (!ready) {
        Say(stderr, "quorvane-cli station: %s; nothing was sent\n", failure.text);
        return kExitUsage;
    }
    if (!options.recipe) CheckFirmware(firmware, check);
    if (check.problems) {
        Say(stderr, "quorvane-cli station: %s has problems; nothing was sent\n", file);
        PrintFirmwareCheck(stderr, file, check, options.settings.baud);
        return kExitUsage;
    }
    static PlantPublisher publisher;
    const PlantImage image = {file, firmware.fileSha256, options.recipe ? recipe.name.c_str() : nullptr};
    char note[400];
    if (options.mqtt.url && !StartPublisher(publisher, options.mqtt, options.log, &image, note, failure)) {
        Say(stderr, "quorvane-cli station: %s; nothing was sent\n", failure.text);
        return kExitUsage;
    }
    PrintStart(options, file, firmware, check, log);
    if (options.mqtt.url) Say(stderr, "mqtt: %s\n", note);
    StartDeviceWatch();
    theStation.ports = options.ports.names;
    theStation.portCount = options.ports.count;
    theStation.count = options.count;
    theStation.settings = settings;
    theStation.firmware = &firmware;
    theStation.log = &log;
    theStation.recipe = options.recipe ? &run : nullptr;
    ResetStation(theStation);
    if (options.web.listen && !StartWeb(options.web, file, firmware, check)) return kExitUsage;
    bool terminal = StderrIsTerminal();
    Screen screen = {terminal, {terminal, 0}, (long long)check.frameData, std::chrono::steady_clock::now()};
    bool toldLogFailure = false;
    const bool enterTakesNext = options.ports.count == 1 && StdinIsTerminal();
    if (enterTakesNext) Say(stderr, "Enter: the next board on %s, its port staying\n", options.ports.names[0]);
    while (!StationIsDone(theStation)) {
        LookForDevices(theStation);
        ApplyWebRequests(theWeb, theStation);
        TakeSwappedBoards(enterTakesNext);
        FinishBoards(screen, toldLogFailure);
        if (options.mqtt.url) SetPublishedStation(publisher, theStation);
        StartBoards(screen, options, toldLogFailure);
        DrawLiveLines(screen);
        PublishStation(theWeb, theStation);
        if (!StationIsDone(theStation)) WaitForDeviceChange(terminal || theWeb ? 100 : 250);
    }
    FinishBoards(screen, toldLogFailure);
    DrawLiveLines(screen);
    PublishStation(theWeb, theStation);
    StopWebServer(theWeb);
    if (!terminal) PrintTally(nullptr, theStation.tally);
    if (options.mqtt.url) {
        SetPublishedStation(publisher, theStation);
        if (!StopPublisher(publisher, 5, failure)) Say(stderr, "quorvane-cli station: mqtt: %s\n", failure.text);
    }
    CloseJobLog(log);
    ReleaseSnapshot(firmware);
    return StationExitStatus(theStation);
}

}  // namespace

const CommandInfo kStationCommand = {
    "station",
    "quorvane-cli station [-p PORT]... [-n COUNT] [-l LOG] [-b BAUD] [-m MODE] [-t SECONDS] [-v]\n"
    "                            [--base ADDRESS] [--record-size N] [--mqtt URL [--mqtt-name NAME]\n"
    "                            [--mqtt-ca FILE] [--mqtt-user USER --mqtt-password-file FILE]]\n"
    "                            [--http [ADDRESS:]PORT] [--http-token TOKEN] [--] FILE\n"
    "       quorvane-cli station --recipe R [OPTIONS]",
    kStationHelp, RunStation};
