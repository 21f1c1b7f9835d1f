// quorvane-cli: the command, help and the version.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "cli.h"

namespace {

const char kUsage[] =
    "usage: quorvane-cli COMMAND [OPTIONS] [ARGUMENTS]\n"
    "\n"
    "Sends firmware images (Motorola S-records; Intel HEX and raw binaries are\n"
    "converted) to a target device as frames.\n"
    "\n"
    "commands:\n"
    "  write FILE -p PORT   write the firmware in FILE to the device on PORT\n"
    "  check FILE           a strict look at FILE before anything is sent\n"
    "  frames FILE          the bytes a write job would send for FILE\n"
    "  convert FILE -o OUT  FILE (Intel HEX, raw binary) as an S-record file\n"
    "  station FILE         write every device that is plugged in, and log it\n"
    "  recipe check FILE    what a production recipe will do, without a port\n"
    "  log verify|summary FILE  a station log's chain, and what it records\n"
    "  ports                the ports this machine has\n"
    "  log replay FILE      publish a station's log to an MQTT broker\n"
    "\n"
    "  quorvane-cli help COMMAND   (or COMMAND --help) help for one command\n"
    "  quorvane-cli -V, --version  the version\n"
    "\n"
    "exit status: 0 success, 1 the write failed, 2 a usage error or a file that\n"
    "cannot be read or has problems, 3 aborted, 4 a port could not be opened.\n";

const CommandInfo* const kCommands[] = {&kWriteCommand,   &kCheckCommand,   &kFramesCommand, &kConvertCommand,
                                        &kStationCommand, &kRecipeCommand,  &kLogCommand,    &kPortsCommand};

const CommandInfo* FindCommand(const char* name)
{
    for (const CommandInfo* command : kCommands)
        if (std::strcmp(command->name, name) == 0) return command;
    return nullptr;
}

// Letters to insert, delete or change to turn `a` into `b` (both short).
size_t EditDistance(const char* a, const char* b)
{
    size_t row[32];
    size_t lengthB = std::strlen(b);
    if (std::strlen(a) >= 31 || lengthB >= 31) return 99;
    for (size_t j = 0; j <= lengthB; ++j) row[j] = j;
    for (size_t i = 1; a[i - 1]; ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= lengthB; ++j) {
            size_t above = row[j];
            size_t change = diagonal + (a[i - 1] != b[j - 1]);
            row[j] = std::min(std::min(row[j] + 1, row[j - 1] + 1), change);
            diagonal = above;
        }
    }
    return row[lengthB];
}

int UnknownCommand(const char* name)
{
    Say(stderr, "quorvane-cli: unknown command '%s'", name);
    for (const CommandInfo* command : kCommands) {
        if (EditDistance(name, command->name) <= 2) {
            std::fprintf(stderr, "; did you mean '%s'?", command->name);
            break;
        }
    }
    std::fprintf(stderr, "\nusage: quorvane-cli COMMAND [OPTIONS] [ARGUMENTS]\ntry 'quorvane-cli --help'\n");
    return kExitUsage;
}

// help, help COMMAND, help all (every command's help: the manual page's).
int Help(int argc, char** argv)
{
    if (argc < 3) {
        std::fputs(kUsage, stdout);
        return FinishOutput("help", kExitOk);
    }
    if (std::strcmp(argv[2], "all") == 0) {
        std::fputs(kUsage, stdout);
        for (const CommandInfo* command : kCommands) {
            std::printf("\n%s\n\nusage: %s\n\n", command->name, command->usage);
            PrintHelpText(command->help);
        }
        return FinishOutput("help", kExitOk);
    }
    const CommandInfo* command = FindCommand(argv[2]);
    return command ? ShowHelp(*command) : UnknownCommand(argv[2]);
}

}  // namespace

int main(int argc, char** argv)
{
    argv = TakeArgumentsInUtf8(argc, argv);
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    const char* name = argv[1];
    if (std::strcmp(name, "--help") == 0 || std::strcmp(name, "-h") == 0) return Help(1, argv);
    if (std::strcmp(name, "help") == 0) return Help(argc, argv);
    if (std::strcmp(name, "--version") == 0 || std::strcmp(name, "-V") == 0) {
        std::printf("quorvane-cli %s\n", QUORVANE_VERSION);
        return FinishOutput("version", kExitOk);
    }
    const CommandInfo* command = FindCommand(name);
    return command ? command->run(argc - 1, argv + 1) : UnknownCommand(name);
}
