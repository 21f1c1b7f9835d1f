// `check`: the strict look at a firmware file, on its own.
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "conversions.h"

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

const CommandOption kCheckOptions[] = {{"help", 0, false}, {"baud", 0, true}};

struct CheckOptions {
    bool help = false;
    unsigned long baud = 9600;
};

bool TakeCheckOption(void* context, int index, const char* value, char* error, size_t errorSize)
{
    CheckOptions& options = *static_cast<CheckOptions*>(context);
    if (index == 0) options.help = true;
    if (index == 1 && !(options.baud = ParseBaudRate(value))) {
        std::snprintf(error, errorSize, "baud rate must be %s", kBaudRateList);
        return false;
    }
    return true;
}

}  // namespace

int RunCheckCommand(int argc, char** argv)
{
    CheckOptions options;
    CommandLine line;
    if (!ParseCommandLine(argc, argv, kCheckOptions, TakeCheckOption, &options, line)) {
        std::fprintf(stderr, "quorvane-cli check: %s\n\n%s", line.error, kCheckUsage);
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(kCheckUsage, stdout);
        return kExitOk;
    }
    if (line.operandCount != 1) {
        if (line.operandCount > 1) std::fprintf(stderr, "quorvane-cli check: only one FILE, please\n\n");
        std::fputs(kCheckUsage, stderr);
        return kExitUsage;
    }
    const char* path = line.operands[0];
    static FirmwareSnapshot firmware;
    char error[320];
    if (!TakeSnapshot(path, firmware, error, sizeof error)) {
        Say(stderr, "quorvane-cli check: %s\n", error);
        return kExitUsage;
    }
    static FirmwareCheck check;
    CheckFirmware(firmware, check);
    ReleaseSnapshot(firmware);
    PrintFirmwareCheck(stdout, path, check, options.baud);
    return FinishOutput("check", check.problems ? kExitFailed : kExitOk);
}
