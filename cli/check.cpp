// `check`: the strict look at a firmware file, on its own.
#include <cstdio>
#include <cstring>

#include "cli.h"

namespace {

const char kCheckHelp[] =
    "Looks at FILE strictly before anything is sent: every line a record of\n"
    "hexadecimal digits, its count matching the line, its checksum right, S5/S6\n"
    "counts right, no data overlapping earlier data, a termination record and\n"
    "nothing but blank lines after it. Prints a summary (records by type, data\n"
    "bytes, address ranges, frames, time on the wire at the baud rate) and each\n"
    "problem with its line number (the first 20, then how many more). An Intel\n"
    "HEX file, or a raw binary with --base, is checked as the S-records it\n"
    "converts to.\n"
    "\n"
    "  -b, --baud RATE       the rate for the time on the wire: 4800, 9600 (the\n"
    "                        default), 19200 or 38400\n"
    "      --base ADDRESS    FILE is a raw binary image that loads at ADDRESS\n"
    "      --record-size N   data bytes per S3 record of a converted image\n"
    "                        (1 to 250, default 32)\n"
    "  -j, --json            the summary and the problems as one JSON event\n"
    "  -h, --help            this text\n"
    "\n"
    "exit status: 0 no problems, 2 the file has problems, cannot be read, or a\n"
    "usage error.\n";


struct CheckOptions {
    unsigned long baud = 9600;
    bool json = false;
    ImageOptions image;
};

int RunCheck(int argc, char** argv)
{
    CheckOptions options;
    const CommandOption rows[] = {BaudRow(options.baud), FlagRow('j', "json", options.json),
                                  BaseRow(options.image), RecordSizeRow(options.image)};
    const char* path = nullptr;
    int status = kExitOk;
    if (!ParseFileCommandLine(kCheckCommand, argc, argv, rows, path, status)) return status;
    static FirmwareSnapshot firmware;
    Failure failure;
    if (!LoadFirmware(path, options.image, false, firmware, failure)) {
        Say(stderr, "quorvane-cli check: %s\n", failure.text);
        if (options.json) PrintJsonOutcome(nullptr, "refused", kExitUsage, failure.text);
        return FinishOutput("check", kExitUsage);
    }
    static FirmwareCheck check;
    CheckFirmware(firmware, check);
    status = check.problems ? kExitUsage : kExitOk;
    if (options.json) {
        PrintFirmwareCheckJson(stdout, path, check, options.baud);
        PrintJsonOutcome(nullptr, check.problems ? "problems" : "ok", status, "");
    } else {
        PrintFirmwareCheck(stdout, path, check, options.baud);
        // The records and line numbers above are the converted text's.
        if (firmware.converted)
            Say(stdout, "converted: %s%s: records and line numbers are those of its S-records (see convert)\n",
                path, ConvertedFrom(firmware, options.image));
    }
    ReleaseSnapshot(firmware);
    return FinishOutput("check", status);
}

}  // namespace

const CommandInfo kCheckCommand = {
    "check", "quorvane-cli check [-b BAUD] [--base ADDRESS] [--record-size N] [-j] [--] FILE", kCheckHelp, RunCheck};
