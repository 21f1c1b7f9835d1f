#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cmdline.h"
#include "sim.h"

const char kSimHelp[] =
    "usage: quorvane-sim [--port PATH] [--link PATH] [--silent] [--nak N] [--junk K]\n"
    "                    [--no-answer N] [--delay MS] [--latency MS [--event-char BYTE]] [--baud RATE]\n"
    "                    [--transcript FILE]\n"
    "                    [--raw FILE] [--timing FILE] [--once] [--replug MS] [--count N] [--help]\n"
    "                    [--version]\n"
    "\n"
    "Plays the target device that Quorvane installs firmware into, so a write job\n"
    "can run without the real device. It listens on a pseudo-terminal (pty): a pair\n"
    "of linked character devices that behave like the two ends of a serial cable.\n"
    "The sender (the Windows program under Wine, quorvane-cli, a test) opens one\n"
    "end as if it were a serial port; the simulator sits on the other end, checks\n"
    "every byte it receives and answers the way the device would.\n"
    "\n"
    "The first line on standard output is the path of the end the sender opens\n"
    "(for example /dev/pts/7). Point the sender at it: open it directly, or give\n"
    "Wine a COM port for it (a dosdevices/comN symlink, see --link).\n"
    "\n"
    "What it checks: the start sequence 1B 1D 3F 30 31 0A 00; frames\n"
    "02 LEN ADDR(4 bytes, big-endian) DATA(LEN bytes) 03 CRC(2 bytes, high first),\n"
    "the CRC being CRC-16/ARC over LEN to ETX; the end sequence\n"
    "1B 1D 3F 31 30 0A 00. Any other byte is junk.\n"
    "\n"
    "How it answers: like a device on a serial port, every complete frame gets ACK\n"
    "(06), and a frame whose CRC or ETX is wrong gets NAK (15). The control\n"
    "sequences get no answer.\n"
    "\n"
    "options:\n"
    "  --port PATH        serve an existing device or pty end instead of creating a\n"
    "                     pty (nothing is printed then; it ends when the port's\n"
    "                     other side goes away)\n"
    "  --link PATH        also make PATH a symbolic link to the sender's end\n"
    "                     (an existing symbolic link there is replaced; removed\n"
    "                     again on exit), e.g. WINEPREFIX/dosdevices/com5\n"
    "  --silent           never send a byte, like the device on a parallel port or\n"
    "                     on its own USB port\n"
    "  --nak N            answer frame N with NAK (frames count from 1, empty\n"
    "                     frames included)\n"
    "  --no-answer N      never answer frame N\n"
    "  --junk K           send K junk bytes (55) before every answer\n"
    "  --delay MS         send every answer MS milliseconds late\n"
    "  --latency MS       play a USB serial adapter's latency timer: an answer\n"
    "                     waits for the timer's next tick, every MS milliseconds\n"
    "                     (16 is the FTDI chips' default, 1 their lowest)\n"
    "  --event-char BYTE  the adapter's event character (0x06 is ACK): an answer\n"
    "                     that ends in it is passed on at once, not at the tick\n"
    "  --baud RATE        emulate a line of RATE baud: answer a frame only after it\n"
    "                     would have crossed the line, and the answer after its own\n"
    "                     bytes would have come back (10 bits a byte)\n"
    "  --transcript FILE  write one JSON line per event to FILE:\n"
    "                       {\"event\":\"start\"}\n"
    "                       {\"event\":\"frame\",\"index\":1,\"address\":0,\"length\":16,\n"
    "                        \"crc_ok\":true,\"answer\":\"ack\"}   (answer: ack, nak or none;\n"
    "                        crc_ok is false for a wrong CRC or ETX)\n"
    "                       {\"event\":\"end\"}\n"
    "                       {\"event\":\"junk\",\"length\":3}\n"
    "                       {\"event\":\"truncated\",\"length\":40}  (stream ended in a frame)\n"
    "  --raw FILE         write every byte received to FILE, exactly\n"
    "  --timing FILE      write a line per answered frame to FILE, the sender's\n"
    "                     turnaround being the fourth number minus the third:\n"
    "                       FRAME DUE_NS WRITTEN_NS NEXT_BYTE_NS\n"
    "                     (monotonic clock, nanoseconds: when the answer fell due,\n"
    "                     when its write returned, when the sender's next byte\n"
    "                     arrived; 0 if none came before the next answer or the\n"
    "                     end)\n"
    "  --once             exit as soon as an end sequence has been received\n"
    "  --replug MS        play a device that is unplugged after each job: once an\n"
    "                     end sequence has come, the --link goes away for MS\n"
    "                     milliseconds, then comes back on a new pty (whose path\n"
    "                     is printed), as a board plugged in again does\n"
    "  --count N          play N devices (1 to 64) at once, each on a pty of its\n"
    "                     own, in one process: one path a line on standard\n"
    "                     output; --link, --transcript, --raw and --timing then\n"
    "                     take %d, the device's number from 1 (dev%d.raw)\n"
    "  -h, --help         show this text\n"
    "  -V, --version      show the version\n"
    "\n"
    "It runs until it gets SIGINT (Ctrl+C) or SIGTERM, or until the end sequence\n"
    "with --once, and then reports what it received on standard error.\n"
    "\n"
    "exit status: 0 everything received was well formed (start sequence, frames\n"
    "with good CRC, end sequence, one job after another; no junk, nothing cut\n"
    "short), 1 otherwise (nothing received counts as not well formed), 2 usage\n"
    "error or the port could not be opened or created.\n"
    "\n"
    "example: a silent device (parallel port) takes one write job, then exits\n"
    "  quorvane-sim --silent --once --transcript job.jsonl > sim.out &\n"
    "  sleep 1     # time to print the pty path, e.g. /dev/pts/7, into sim.out\n"
    "  quorvane-cli frames --raw examples/worked-example.mot > \"$(head -1 sim.out)\"\n"
    "  wait $!; echo $?    # 0: the device received a well-formed job\n"
    "  cat job.jsonl       # what it saw, event by event\n"
    "A device that refuses the second frame: quorvane-sim --nak 2\n";

namespace {

struct NumberRule {
    unsigned long min;
    unsigned long max;
};

bool ParseNumber(const char* text, const NumberRule& rule, unsigned long& value)
{
    if (text[0] < '0' || text[0] > '9') return false;  // no sign, no blanks
    errno = 0;
    char* end = nullptr;
    unsigned long parsed = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed < rule.min || parsed > rule.max) return false;
    value = parsed;
    return true;
}

const NumberRule kFrameNumber = {1, 4294967295ul};
const NumberRule kJunkCount = {0, kSimMaxJunk};
const NumberRule kDelayMs = {0, 86400000};   // a day
const NumberRule kBaudRate = {1, 10000000};
const NumberRule kLatencyMs = {1, 255};  // what FTDI's latency timer takes
const NumberRule kDeviceCount = {1, kSimMaxDevices};

bool TakeNumber(const CommandOption& row, const char* value, char* error, size_t errorSize)
{
    const NumberRule& rule = *static_cast<const NumberRule*>(row.detail);
    unsigned long number = 0;
    if (!ParseNumber(value, rule, number)) {
        std::snprintf(error, errorSize, "--%s takes a whole number from %lu to %lu, not '%s'", row.name, rule.min,
                      rule.max, value);
        return false;
    }
    *static_cast<unsigned long*>(row.field) = number;
    return true;
}

// A byte in C's notation (0x06, 6); kept as 0x100 | byte, as the driver's
// event_char attribute takes it, so that 0 stays "none".
bool TakeEventChar(const CommandOption& row, const char* value, char* error, size_t errorSize)
{
    char* end = nullptr;
    unsigned long byte = std::strtoul(value, &end, 0);
    if (value[0] < '0' || value[0] > '9' || *end != '\0' || byte > 255) {
        std::snprintf(error, errorSize, "--%s takes a byte from 0 to 0xFF, not '%s'", row.name, value);
        return false;
    }
    *static_cast<unsigned long*>(row.field) = 0x100 | byte;
    return true;
}

bool TakePath(const CommandOption& row, const char* value, char* error, size_t errorSize)
{
    if (value[0] == '\0') {
        std::snprintf(error, errorSize, "--%s needs a non-empty path", row.name);
        return false;
    }
    *static_cast<const char**>(row.field) = value;
    return true;
}

}  // namespace

bool FormatSimPath(const char* pattern, unsigned long board, bool several, char* path, size_t size)
{
    const char* mark = std::strchr(pattern, '%');
    if (!mark) {
        std::snprintf(path, size, "%s", pattern);
        return !several;
    }
    if (mark[1] != 'd' || std::strchr(mark + 2, '%')) return false;
    int length = std::snprintf(path, size, "%.*s%lu%s", int(mark - pattern), pattern, board, mark + 2);
    return length >= 0 && size_t(length) < size;
}

bool ParseSimOptions(int argc, char** argv, SimOptions& options, char* error, size_t errorSize)
{
    options = {};
    SimPolicy& policy = options.policy;
    unsigned long junkCount = 0;
    const CommandOption rows[] = {
        FlagRow(0, "silent", policy.silent),
        FlagRow(0, "once", options.once),
        FlagRow('V', "version", options.version),
        ValueRow(0, "port", &options.port, TakePath),
        ValueRow(0, "link", &options.link, TakePath),
        ValueRow(0, "transcript", &options.transcript, TakePath),
        ValueRow(0, "raw", &options.raw, TakePath),
        ValueRow(0, "timing", &options.timing, TakePath),
        ValueRow(0, "nak", &policy.nakFrame, TakeNumber, &kFrameNumber),
        ValueRow(0, "no-answer", &policy.noAnswerFrame, TakeNumber, &kFrameNumber),
        ValueRow(0, "junk", &junkCount, TakeNumber, &kJunkCount),
        ValueRow(0, "delay", &policy.delayMs, TakeNumber, &kDelayMs),
        ValueRow(0, "baud", &policy.baud, TakeNumber, &kBaudRate),
        ValueRow(0, "replug", &options.replugMs, TakeNumber, &kDelayMs),
        ValueRow(0, "count", &options.count, TakeNumber, &kDeviceCount),
        ValueRow(0, "latency", &policy.latencyMs, TakeNumber, &kLatencyMs),
        ValueRow(0, "event-char", &policy.eventChar, TakeEventChar),
    };
    CommandLine line;
    bool parsed = ParseCommandLine(argc, argv, rows, line);
    policy.junkCount = unsigned(junkCount);
    if (!parsed) {
        std::snprintf(error, errorSize, "%s", line.error);
        return false;
    }
    options.help = line.help;
    if (line.operandCount > 0) {
        std::snprintf(error, errorSize, "unknown option '%s'", line.operands[0]);
        return false;
    }
    if (options.replugMs && !options.link) {
        std::snprintf(error, errorSize, "--replug unplugs the device at its --link; give --link PATH");
        return false;
    }
    if (!options.count) options.count = 1;
    if (options.port && options.count > 1) {
        std::snprintf(error, errorSize, "--count plays devices on ptys of their own; not with --port");
        return false;
    }
    const char* const patterns[] = {options.link, options.transcript, options.raw, options.timing};
    for (const char* pattern : patterns) {
        char path[4096];
        if (pattern && !FormatSimPath(pattern, 1, options.count > 1, path, sizeof path)) {
            std::snprintf(error, errorSize, "'%s': with --count, a path takes %%d (the device's number) once, and "
                                            "no other %%", pattern);
            return false;
        }
    }
    if (options.port && options.link) {
        std::snprintf(error, errorSize, "--link names the end of a pty the simulator creates; not with --port");
        return false;
    }
    return true;
}
