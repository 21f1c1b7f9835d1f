// `recipe check`: what a recipe will do, the serial numbers the next boards
// get included, without opening a port or changing a file.
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "plant.h"
#include "recipe.h"

namespace {

const char kRecipeHelp[] =
    "check FILE: reads the recipe FILE (TOML), its image (which must have the\n"
    "SHA-256 the recipe gives and no problems) and its serial-number state, and\n"
    "shows what `station --recipe FILE` will do: the image and its digest, the\n"
    "line settings, the slots, retries, the quota, the log, the serial scheme\n"
    "and the numbers the next boards get, the traceability fields, and the\n"
    "station's broker and page (the files of the password and the token, never\n"
    "what they hold). Opens no port and changes no file. man quorvane-cli documents every key.\n"
    "\n"
    "  -h, --help            this text\n"
    "\n"
    "exit status: 0 the recipe is good, 2 a usage error or a recipe, image or\n"
    "state file that is refused (the reason names the line and key).\n";

const char* const kModeNames[] = {"auto", "ack", "silent"};
const char* const kFormatNames[] = {"be", "le", "dec", "hex"};

void PrintSerial(const Recipe& recipe, const SerialState& state)
{
    const SerialScheme& serial = recipe.serial;
    Say(stdout, "serial: %u bytes \"%s\" at 0x%08lX, block %llu..%llu, state %s\n", serial.width,
        kFormatNames[int(serial.format)], (unsigned long)serial.address, serial.first, serial.last,
        serial.statePath.c_str());
    SerialState next = state;
    // Numbers a stopped station left out are spent when it starts again.
    if (!next.out.empty()) std::printf("left out by a stopped station (logged unknown at start): %zu\n", next.out.size());
    next.out.clear();
    std::printf("next serial numbers:");
    unsigned long long number = 0;
    for (int i = 0; i < 5 && HandOutSerial(next, number); ++i) std::printf(" %llu", number);
    std::printf("%s\nboards written under this recipe: %lu\n", next.next > next.last ? " (the block is used up)" : "",
                state.written);
}

// The station's broker and page: the files that hold the password and the
// token are named, never what they hold. False for a broker's URL the
// station would refuse.
bool PrintStationTables(const Recipe& recipe, Failure& failure)
{
    const RecipeMqtt& mqtt = recipe.mqtt;
    PlantTarget target;
    if (!mqtt.url.empty()) {
        if (!ParseMqttUrl(mqtt.url.c_str(), target, failure)) return false;
        Say(stdout, "mqtt: %s (%s:%d, %s), station name %s\n", mqtt.url.c_str(), target.host, target.port,
            target.tls || !mqtt.caFile.empty() ? "TLS" : "no TLS",
            mqtt.name.empty() ? "the log's file name" : mqtt.name.c_str());
        if (!mqtt.user.empty())
            Say(stdout, "mqtt user: %s, password in %s\n", mqtt.user.c_str(),
                mqtt.passwordFile.empty() ? "none" : mqtt.passwordFile.c_str());
        if (!mqtt.caFile.empty()) Say(stdout, "mqtt ca: %s\n", mqtt.caFile.c_str());
    }
    if (!recipe.http.listen.empty())
        Say(stdout, "http: %s, token %s%s\n", recipe.http.listen.c_str(), recipe.http.tokenFile.empty() ? "none" : "in ",
            recipe.http.tokenFile.c_str());
    return true;
}

int CheckRecipe(const char* path)
{
    static Recipe recipe;
    static FirmwareSnapshot firmware;
    static FirmwareCheck check;
    Failure failure;
    SerialState state;
    bool fresh = false;
    if (!PrepareRecipe(path, recipe, firmware, check, failure)) {
        Say(stderr, "quorvane-cli recipe: %s\n", failure.text);
        return kExitUsage;
    }
    if (recipe.serial.present && !ReadSerialState(recipe, state, fresh, failure)) {
        Say(stderr, "quorvane-cli recipe: %s\n", failure.text);
        ReleaseSnapshot(firmware);
        return kExitUsage;
    }
    Say(stdout, "recipe: %s (%s)\nrecipe sha256: %s\n", recipe.name.c_str(), path, recipe.sha256);
    Say(stdout, "image: %s, %llu data bytes in %lu frames\nimage sha256: %s (as the recipe expects)\n",
        recipe.imageFile.c_str(), check.dataBytes, check.frames, firmware.fileSha256);
    std::printf("line: %lu baud, mode %s, answer timeout %g s\n", recipe.hasBaud ? recipe.baud : 9600,
                kModeNames[int(recipe.hasMode ? recipe.mode : AnswerMode::Auto)],
                recipe.hasAnswerTimeout ? recipe.answerTimeoutSeconds : 30.0);
    std::printf("slots:");
    for (const std::string& slot : recipe.slots) Say(stdout, " %s", slot.c_str());
    std::printf("%s\nretries: %u\n", recipe.slots.empty() ? " the target device's own USB ports" : "", recipe.retries);
    if (recipe.boards) std::printf("boards: %lu\n", recipe.boards);
    Say(stdout, "log: %s\n", recipe.log.empty() ? "none" : recipe.log.c_str());
    if (recipe.serial.present) PrintSerial(recipe, state);
    else std::printf("serial: none (every board gets the same bytes)\n");
    for (const TraceField& field : recipe.trace) Say(stdout, "trace %s: %s\n", field.key.c_str(), field.value.c_str());
    bool fits = PrintStationTables(recipe, failure);
    ReleaseSnapshot(firmware);
    if (!fits) {
        Say(stderr, "quorvane-cli recipe: %s: mqtt.url: %s\n", path, failure.text);
        return kExitUsage;
    }
    return FinishOutput("recipe", kExitOk);
}

int RunRecipe(int argc, char** argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "check") == 0) {
        const CommandOption* noRows = nullptr;
        const char* file = nullptr;
        int status = kExitOk;
        if (!ParseFileCommandLine(kRecipeCommand, argc - 1, argv + 1, noRows, 0, file, status)) return status;
        return CheckRecipe(file);
    }
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0))
        return ShowHelp(kRecipeCommand);
    if (argc < 2) return UsageError(kRecipeCommand, false, "recipe what? (check)");
    return UsageError(kRecipeCommand, false, "unknown recipe command '%s'", argv[1]);
}

}  // namespace

const CommandInfo kRecipeCommand = {"recipe", "quorvane-cli recipe check FILE", kRecipeHelp, RunRecipe};
