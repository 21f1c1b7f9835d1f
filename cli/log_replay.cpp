// `log replay`: a log's records to the broker, for a station that ran
// without one, or whose broker was still away when it ended. The records the
// broker has acknowledged (the state file beside the log) are skipped.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "plant.h"

namespace {

const char kLogHelp[] =
    "Publishes the records of FILE.jsonl, a station's job log, to an MQTT broker\n"
    "as the station does with --mqtt: each line on PREFIX/NAME/jobs at QoS 1,\n"
    "with its id (NAME, line number). Those the broker has acknowledged before\n"
    "(FILE.jsonl.acked) are skipped; it ends when the broker has acknowledged\n"
    "every line, and waits for a broker that is away (Ctrl-C ends). Not while a\n"
    "station publishes the same log.\n"
    "\n"
    "      --mqtt mqtt://HOST[:PORT]/PREFIX  the broker (mqtts:// for TLS)\n"
    "      --mqtt-name NAME  the station's NAME (default: the log's file name\n"
    "                        without its extension)\n"
    "      --mqtt-ca FILE    TLS, the broker's certificate checked against FILE\n"
    "      --mqtt-user USER  the broker's user name\n"
    "      --mqtt-password-file FILE  the password: FILE's first line\n"
    "  -h, --help            this text\n"
    "\n"
    "exit status: 0 every record acknowledged, 1 the state file could not be\n"
    "written, 2 a usage error or a broker that refuses the password or the CA\n"
    "file, 3 ended by Ctrl-C or another stop signal.\n";

std::atomic<bool> theReplayStopped{false};

void OnStopSignal(int) { theReplayStopped.store(true); }

int RunLog(int argc, char** argv)
{
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0))
        return ShowHelp(kLogCommand);
    if (argc < 2 || std::strcmp(argv[1], "replay") != 0) return UsageError(kLogCommand, false, "log replay, please");
    static PlantOptions mqtt;
    const CommandOption rows[] = {
        MqttUrlRow(mqtt),
        TextRow(0, "mqtt-name", mqtt.name),
        TextRow(0, "mqtt-ca", mqtt.caFile),
        TextRow(0, "mqtt-user", mqtt.user),
        TextRow(0, "mqtt-password-file", mqtt.passwordFile),
    };
    const char* file = nullptr;
    int status = kExitOk;
    if (!ParseFileCommandLine(kLogCommand, argc - 1, argv + 1, rows, file, status)) return status;
    Failure failure;
    if (!mqtt.url) return UsageError(kLogCommand, false, "log replay publishes to a broker: give --mqtt URL");
    if (!MqttOptionsFit(mqtt, file, failure)) return UsageError(kLogCommand, false, "%s", failure.text);
    CatchStopSignals(OnStopSignal);
    static PlantPublisher publisher;
    char note[400];
    if (!StartPublisher(publisher, mqtt, file, nullptr, note, failure)) {
        Say(stderr, "quorvane-cli log replay: %s\n", failure.text);
        return kExitUsage;
    }
    Say(stderr, "mqtt: %s\n", note);
    unsigned long counts[2];
    bool all = WaitUntilAcknowledged(publisher, &theReplayStopped, counts);
    bool saved = StopPublisher(publisher, 1, failure);
    std::fprintf(stderr, "replay: %lu records acknowledged now, %lu before\n", counts[1], counts[0]);
    if (!saved) Say(stderr, "quorvane-cli log replay: %s\n", failure.text);
    return !saved ? kExitFailed : all ? kExitOk : kExitAborted;
}

}  // namespace

const CommandInfo kLogCommand = {
    "log",
    "quorvane-cli log replay --mqtt URL [--mqtt-name NAME] [--mqtt-ca FILE]\n"
    "                            [--mqtt-user USER --mqtt-password-file FILE] [--] FILE.jsonl",
    kLogHelp, RunLog};
