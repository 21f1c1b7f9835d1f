// `log verify` and `log summary`: a station log's chain, and what it records.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "recipe.h"

namespace {

const char kLogHelp[] =
    "verify FILE.jsonl: checks that every line's prev is the SHA-256 of the\n"
    "line before it (64 zeros on the first), so that a line edited, removed or\n"
    "moved shows; prints the first line that breaks the chain.\n"
    "summary FILE.jsonl: boards written and failed and the serial numbers\n"
    "used, by recipe.\n"
    "replay FILE.jsonl --mqtt URL: publishes the log's records to an MQTT broker\n"
    "as the station does with --mqtt: each line on PREFIX/NAME/jobs at QoS 1,\n"
    "with its id (NAME, line number). Those the broker has acknowledged before\n"
    "(FILE.jsonl.acked) are skipped; it ends when the broker has acknowledged\n"
    "every line, and waits for a broker that is away ({stop-keys} ends). Not\n"
    "while a station publishes the same log.\n"
    "\n"
    "      --mqtt mqtt://HOST[:PORT]/PREFIX  the broker (mqtts:// for TLS)\n"
    "      --mqtt-name NAME  the station's NAME (default: the log's file name\n"
    "                        without its extension)\n"
    "      --mqtt-ca FILE    TLS, the broker's certificate checked against FILE\n"
    "      --mqtt-user USER  the broker's user name\n"
    "      --mqtt-password-file FILE  the password: FILE's first line\n"
    "  -h, --help            this text\n"
    "\n"
    "exit status: 0 the chain holds (verify), the summary was printed or every\n"
    "record was acknowledged (replay), 1 the chain is broken or the replay's\n"
    "state file could not be written, 2 a usage error, a log that cannot be\n"
    "read or a broker that refuses the password or the CA file, 3 a replay\n"
    "ended by {stopped-by}.\n";

// Numbers as runs: "1000-1004 1007".
void PrintNumbers(const char* what, std::vector<unsigned long long> numbers)
{
    std::sort(numbers.begin(), numbers.end());
    std::printf("  serial numbers %s (%zu):", what, numbers.size());
    for (size_t i = 0; i < numbers.size();) {
        size_t j = i;
        while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1) ++j;
        std::printf(j > i ? " %llu-%llu" : " %llu", numbers[i], numbers[j]);
        i = j + 1;
    }
    std::printf("\n");
}

int ReadLog(const char* command, const char* path)
{
    static FirmwareSnapshot text;
    Failure failure;
    if (!TakeSnapshot(path, text, failure)) {
        Say(stderr, "quorvane-cli log %s: %s\n", command, failure.text);
        return kExitUsage;
    }
    int status = kExitOk;
    if (std::strcmp(command, "verify") == 0) {
        unsigned long broken = FirstBrokenLine(text.bytes, text.size, failure);
        if (broken) Say(stdout, "%s: the chain breaks at %s\n", path, failure.text);
        else Say(stdout, "%s: the chain holds\n", path);
        status = broken ? kExitFailed : kExitOk;
    } else {
        std::vector<LogSummary> summaries;
        SummarizeLog(text.bytes, text.size, summaries);
        for (const LogSummary& summary : summaries) {
            Say(stdout, "recipe \"%s\": %lu written, %lu failed\n", summary.recipe.c_str(), summary.written,
                summary.failed);
            PrintNumbers("written", summary.serialsWritten);
            PrintNumbers("spent", summary.serialsSpent);
            PrintNumbers("unknown", summary.serialsUnknown);
        }
    }
    ReleaseSnapshot(text);
    return FinishOutput("log", status);
}

int RunLog(int argc, char** argv)
{
    if (argc >= 2 && (std::strcmp(argv[1], "verify") == 0 || std::strcmp(argv[1], "summary") == 0)) {
        const CommandOption* noRows = nullptr;
        const char* file = nullptr;
        int status = kExitOk;
        if (!ParseFileCommandLine(kLogCommand, argc - 1, argv + 1, noRows, 0, file, status)) return status;
        return ReadLog(argv[1], file);
    }
    if (argc >= 2 && std::strcmp(argv[1], "replay") == 0) return RunLogReplay(argc, argv);
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0))
        return ShowHelp(kLogCommand);
    if (argc < 2) return UsageError(kLogCommand, false, "log what? (verify, summary or replay)");
    return UsageError(kLogCommand, false, "unknown log command '%s'", argv[1]);
}

}  // namespace

const CommandInfo kLogCommand = {
    "log",
    "quorvane-cli log verify|summary FILE.jsonl\n"
    "       quorvane-cli log replay --mqtt URL [--mqtt-name NAME] [--mqtt-ca FILE]\n"
    "                            [--mqtt-user USER --mqtt-password-file FILE] [--] FILE.jsonl",
    kLogHelp, RunLog};
