// `frames`: runs a write job on a file over a device that accepts every
// frame, and shows (or emits raw) exactly what the port would be sent.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli.h"
#include "recipe.h"

namespace {

const char kFramesHelp[] =
    "Runs a write job on FILE exactly as it would run against a device that\n"
    "acknowledges every frame, opening nothing but the file. Prints one line per\n"
    "unit sent (start sequence, each frame with its line number, end sequence)\n"
    "in hex, then the outcome. An Intel HEX file, or a raw binary with --base,\n"
    "is sent as the S-records it converts to.\n"
    "\n"
    "  -r, --raw             exactly the bytes the port would get, on standard\n"
    "                        output\n"
    "      --recipe R        the image of the recipe R (no FILE), with\n"
    "      --serial N        the serial number N patched in as the recipe says:\n"
    "                        what the board that gets N is sent\n"
    "      --base ADDRESS    FILE is a raw binary image that loads at ADDRESS\n"
    "      --record-size N   data bytes per S3 record of a converted image\n"
    "                        (1 to 250, default 32)\n"
    "  -h, --help            this text\n"
    "\n"
    "exit status: 0 the job would end with the end sequence, 1 it would fail\n"
    "(the reason on standard error), 2 a usage error or a file that cannot be\n"
    "read.\n";

// Raw frames are gathered here and handed to standard output in large
// blocks: a C library call per frame cost as much as encoding it.
struct RawOutput {
    char bytes[1 << 16];
    size_t used;
};

struct FramesPrinter {
    const WriteJob* job;
    RawOutput* raw;  // null: the frames are listed as text
    bool outputFailed;  // standard output took less than it was given
    const char* convertedFrom;  // " (converted from Intel HEX)", or "" for S-records
};

bool FlushRaw(RawOutput& raw)
{
    bool ok = std::fwrite(raw.bytes, 1, raw.used, stdout) == raw.used;
    raw.used = 0;
    return ok;
}

bool IsSequence(const uint8_t* bytes, size_t count, const uint8_t* sequence)
{
    return count == kControlSequenceSize && std::memcmp(bytes, sequence, count) == 0;
}

void PrintUnit(const FramesPrinter& printer, const uint8_t* bytes, size_t count)
{
    if (IsSequence(bytes, count, StartSequence)) {
        std::fputs("start        ", stdout);
    } else if (IsSequence(bytes, count, EndSequence)) {
        std::fputs("end          ", stdout);
    } else {
        std::printf("line %-7lu ", printer.job->line);
    }
    for (size_t i = 0; i < count; ++i) std::printf(i ? " %02X" : "%02X", bytes[i]);
    std::putchar('\n');
}

// A failure of standard output ends the job like a lost port; Report
// tells it apart.
bool PrintSent(void* context, const uint8_t* bytes, size_t count)
{
    FramesPrinter& printer = *static_cast<FramesPrinter*>(context);
    RawOutput* raw = printer.raw;
    if (!raw) {
        PrintUnit(printer, bytes, count);
        printer.outputFailed = std::ferror(stdout) != 0;
    } else {
        if (raw->used + count > sizeof raw->bytes) printer.outputFailed = !FlushRaw(*raw);
        std::memcpy(raw->bytes + raw->used, bytes, count);
        raw->used += count;
    }
    return !printer.outputFailed;
}

// Where the job failed: the line it could not take, or, when the file ran
// out, the last line there was (the worker counts one line further).
void FormatWhere(const WriteJob& job, char (&where)[48])
{
    if (job.failure != WriteFailure::FileEnded)
        std::snprintf(where, sizeof where, "line %lu", job.line);
    else if (job.line > 1)
        std::snprintf(where, sizeof where, "after line %lu", job.line - 1);
    else
        std::snprintf(where, sizeof where, "empty file");
}

int Report(const WriteJob& job, WriteOutcome outcome, const char* path, FramesPrinter& printer)
{
    if (printer.raw && !FlushRaw(*printer.raw)) printer.outputFailed = true;
    if (printer.outputFailed) return FinishOutput("frames", kExitUsage);
    if (outcome == WriteOutcome::End) {
        if (!printer.raw) std::printf("outcome: end, %lu frames, %lld data bytes\n", job.frames, job.total);
        return FinishOutput("frames", kExitOk);
    }
    char where[48];
    FormatWhere(job, where);
    if (!printer.raw) std::printf("outcome: error, %s: %s\n", where, WriteFailureText(job.failure));
    Say(stderr, "quorvane-cli: %s%s: %s: %s\n", path, printer.convertedFrom, where, WriteFailureText(job.failure));
    return FinishOutput("frames", kExitFailed);
}

struct FramesOptions {
    bool raw = false;
    ImageOptions image;
    const char* recipe = nullptr;
    bool hasSerial = false;
    unsigned long long serial = 0;
};

bool TakeSerial(const CommandOption& row, const char* value, char* error, size_t errorSize)
{
    FramesOptions& options = *static_cast<FramesOptions*>(row.field);
    char* end = nullptr;
    options.serial = std::strtoull(value, &end, 10);
    options.hasSerial = *value >= '0' && *value <= '9' && *end == '\0';
    if (options.hasSerial) return true;
    std::snprintf(error, errorSize, "--serial takes a whole number, not '%s'", value);
    return false;
}

// The recipe's image with the serial number patched in, in `board`.
bool LoadRecipeBoard(const FramesOptions& options, FirmwareSnapshot& firmware, BoardImage& board, Failure& failure)
{
    static Recipe recipe;
    static FirmwareCheck check;
    if (!PrepareRecipe(options.recipe, recipe, firmware, check, failure)) return false;
    bool patched = recipe.serial.present == options.hasSerial &&
                   (!options.hasSerial || PatchSerial(firmware, recipe.serial, options.serial, board, failure));
    if (recipe.serial.present != options.hasSerial)
        Fail(failure, options.hasSerial ? "%s has no [serial] table: --serial has nothing to patch"
                                        : "%s hands out serial numbers: which one (--serial N)?", options.recipe);
    if (!patched) ReleaseSnapshot(firmware);
    return patched;
}

int RunFrames(int argc, char** argv)
{
    FramesOptions options;
    const CommandOption rows[] = {FlagRow('r', "raw", options.raw), BaseRow(options.image),
                                  RecordSizeRow(options.image), TextRow(0, "recipe", options.recipe),
                                  ValueRow(0, "serial", &options, TakeSerial)};
    const char* path = nullptr;
    int status = kExitOk;
    if (!ParseFileCommandLine(kFramesCommand, argc, argv, rows, path, status, &options.recipe)) return status;
    if (options.hasSerial && !options.recipe) return UsageError(kFramesCommand, false, "--serial needs --recipe");
    const bool raw = options.raw;
    static FirmwareSnapshot firmware;
    static BoardImage board;
    Failure failure;
    if (options.recipe ? !LoadRecipeBoard(options, firmware, board, failure)
                       : !LoadFirmware(path, options.image, false, firmware, failure)) {
        Say(stderr, "quorvane-cli frames: %s\n", failure.text);
        return kExitUsage;
    }
    if (!path) path = options.recipe;
    FirmwareSnapshot sent = options.hasSerial ? SnapshotOfBoard(board) : firmware;
    static RawOutput rawOutput;
    if (raw) SetBinaryStdout();

    static WriteJob job;
    FramesPrinter printer = {&job, raw ? &rawOutput : nullptr, false, ConvertedFrom(firmware, options.image)};
    // The line numbers are the converted text's, not the file's: said first.
    if (!raw && firmware.converted)
        Say(stdout, "converted    %s%s: line numbers are those of its S-records (see convert)\n", path,
            printer.convertedFrom);
    WriteOutcome outcome = RunWriteJobOverSink(job, sent.bytes, sent.size, PrintSent, &printer);
    status = Report(job, outcome, path, printer);
    ReleaseSnapshot(firmware);
    return status;
}

}  // namespace

const CommandInfo kFramesCommand = {
    "frames",
    "quorvane-cli frames [-r] [--base ADDRESS] [--record-size N] [--] FILE\n"
    "       quorvane-cli frames [-r] --recipe R [--serial N]",
    kFramesHelp, RunFrames};
