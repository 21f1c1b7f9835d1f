// `log replay`: a log's records to the broker, for a station that ran
// without one, or whose broker was still away when it ended. The records the
// broker has acknowledged (the state file beside the log) are skipped.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "plant.h"

namespace {

std::atomic<bool> theReplayStopped{false};

void OnStopSignal(int) { theReplayStopped.store(true); }

}  // namespace

int RunLogReplay(int argc, char** argv)
{
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
