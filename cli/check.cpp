// `check`: the strict look at a firmware file, on its own.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "firmware_check.h"

namespace {

const char kCheckUsage[] =
    "usage: quorvane-cli check [--baud 4800|9600|19200|38400] FILE\n"
    "\n"
    "Looks at FILE strictly before anything is sent: every line a record of\n"
    "hexadecimal digits, its count matching the line, its checksum right, S5/S6\n"
    "counts right, no data overlapping earlier data, a termination record and\n"
    "nothing but blank lines after it. Prints a summary (records by type, data\n"
    "bytes, address ranges, frames, time on the wire at the baud rate, 9600 if\n"
    "not given) and each problem with its line number.\n"
    "\n"
    "exit status: 0 no problems, 1 problems, 2 usage error or unreadable file\n";

}  // namespace

long ParseBaud(const char* text)
{
    static const long rates[] = {4800, 9600, 19200, 38400};
    for (long rate : rates) {
        char name[8];
        std::snprintf(name, sizeof name, "%ld", rate);
        if (std::strcmp(text, name) == 0) return rate;
    }
    return 0;
}

int RunCheckCommand(int argc, char** argv)
{
    long baud = 9600;
    const char* path = nullptr;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kCheckUsage, stdout);
            return kExitOk;
        }
        if (std::strcmp(argv[i], "--baud") == 0 && i + 1 < argc) {
            baud = ParseBaud(argv[++i]);
            if (!baud) {
                std::fprintf(stderr, "quorvane-cli check: baud rate must be 4800, 9600, 19200 or 38400\n");
                return kExitUsage;
            }
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            std::fprintf(stderr, "quorvane-cli check: unknown option '%s'\n\n%s", argv[i], kCheckUsage);
            return kExitUsage;
        } else if (path) {
            std::fprintf(stderr, "quorvane-cli check: only one FILE, please\n\n%s", kCheckUsage);
            return kExitUsage;
        } else {
            path = argv[i];
        }
    }
    if (!path) {
        std::fputs(kCheckUsage, stderr);
        return kExitUsage;
    }
    FILE* source = std::fopen(path, "rb");
    if (!source) {
        std::fprintf(stderr, "quorvane-cli check: cannot open %s: %s\n", path, std::strerror(errno));
        return kExitUsage;
    }
    static FirmwareCheck check;
    bool readable = CheckFirmware(source, check);
    std::fclose(source);
    if (!readable) {
        std::fprintf(stderr, "quorvane-cli check: cannot read %s\n", path);
        return kExitUsage;
    }
    PrintFirmwareCheck(stdout, path, check, baud);
    return check.problems ? kExitFailed : kExitOk;
}
