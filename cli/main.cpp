#include <cstdio>
#include <cstring>

#include "cli.h"

namespace {

const char kUsage[] =
    "usage: quorvane-cli COMMAND [ARGS]\n"
    "\n"
    "Sends Motorola S-record firmware images to a target device as frames.\n"
    "\n"
    "commands:\n"
    "  write FILE --port PORT  write the firmware in FILE to the device on PORT\n"
    "  check [--baud N] FILE  a strict look at FILE before anything is sent\n"
    "  ports [--json]         the ports this machine has\n"
    "  frames [--raw] FILE    show the bytes a write job would send for FILE\n"
    "\n"
    "  quorvane-cli COMMAND --help   help for one command\n"
    "  quorvane-cli --version        the version\n";

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    const char* command = argv[1];
    if (std::strcmp(command, "--help") == 0 || std::strcmp(command, "-h") == 0) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (std::strcmp(command, "--version") == 0) {
        std::printf("quorvane-cli %s\n", QUORVANE_VERSION);
        return kExitOk;
    }
    if (std::strcmp(command, "frames") == 0) return RunFramesCommand(argc - 1, argv + 1);
    if (std::strcmp(command, "check") == 0) return RunCheckCommand(argc - 1, argv + 1);
    if (std::strcmp(command, "write") == 0) return RunWriteCommand(argc - 1, argv + 1);
    if (std::strcmp(command, "ports") == 0) return RunPortsCommand(argc - 1, argv + 1);
    std::fprintf(stderr, "quorvane-cli: unknown command '%s'\n\n%s", command, kUsage);
    return kExitUsage;
}
