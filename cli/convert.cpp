// `convert`: an Intel HEX file or a raw binary as the S-record file that
// write would send.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli.h"

namespace {

const char kConvertHelp[] =
    "Writes FILE as S-records: an Intel HEX file (records 00 to 05), or with\n"
    "--base a raw binary image, becomes an S0 header, S3 data records, an S5\n"
    "count and an S7 termination record with the start address, split into\n"
    "records as srec_cat splits them. These are the very records that check,\n"
    "frames and write use for such a file. An S-record file is written as it is.\n"
    "\n"
    "  -o, --output OUT      the S-record file to write (default: standard output)\n"
    "      --base ADDRESS    FILE is a raw binary image that loads at ADDRESS\n"
    "      --record-size N   data bytes per S3 record (1 to 250, default 32)\n"
    "  -h, --help            this text\n"
    "\n"
    "exit status: 0 written, 2 a usage error, or a file that cannot be read,\n"
    "converted or written.\n";

struct ConvertOptions {
    const char* output = nullptr;
    ImageOptions image;
};

// The records into OUT (or standard output); false with the reason.
bool WriteRecords(const char* output, const FirmwareSnapshot& firmware, Failure& failure)
{
    if (!output) {
        SetBinaryStdout();
        std::fwrite(firmware.bytes, 1, firmware.size, stdout);
        return true;  // FinishOutput tells a failure
    }
    FILE* file = OpenNamedFile(output, "wb");
    bool ok = file && std::fwrite(firmware.bytes, 1, firmware.size, file) == firmware.size;
    int reason = errno;
    if (file && std::fclose(file) != 0 && ok) {
        ok = false;
        reason = errno;
    }
    return ok || Fail(failure, "cannot write %s: %s", output, std::strerror(reason));
}

int RunConvert(int argc, char** argv)
{
    ConvertOptions options;
    const CommandOption rows[] = {TextRow('o', "output", options.output), BaseRow(options.image),
                                  RecordSizeRow(options.image)};
    const char* path = nullptr;
    int status = kExitOk;
    if (!ParseFileCommandLine(kConvertCommand, argc, argv, rows, path, status)) return status;
    static FirmwareSnapshot firmware;
    Failure failure;
    bool ok = LoadFirmware(path, options.image, false, firmware, failure) &&
              WriteRecords(options.output, firmware, failure);
    ReleaseSnapshot(firmware);
    if (ok) return FinishOutput("convert", kExitOk);
    Say(stderr, "quorvane-cli convert: %s\n", failure.text);
    return kExitUsage;
}

}  // namespace

const CommandInfo kConvertCommand = {
    "convert", "quorvane-cli convert [-o OUT] [--base ADDRESS] [--record-size N] [--] FILE", kConvertHelp,
    RunConvert};
