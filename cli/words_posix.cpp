// quorvane-cli's words for Linux: ports are device paths (the by-id links
// survive replugging), the settings file is under ~/.config, and a job stops
// on signals.
#include "cli.h"

const PlatformWord kPlatformWords[] = {
    {"write-port",
     "  -p, --port PORT       a port to write to: a device path such as\n"
     "                        /dev/ttyUSB0 or /dev/serial/by-id/... on Linux, COM3\n"
     "                        or LPT1 on Windows, or auto (the target device's own\n"
     "                        USB port, when there is exactly one); give it several\n"
     "                        times for several devices (default: $QUORVANE_PORT,\n"
     "                        else the remembered port, else auto)\n"},
    {"write-save",
     "  -s, --save            remember the (first) port and the baud rate, in the\n"
     "                        Windows program's settings file (on Linux\n"
     "                        ~/.config/quorvane/KORVIN.INI)\n"},
    {"write-stop",
     "Only serial ports (ttys) and parallel printer ports are written to. Ctrl-C\n"
     "(and a hang-up, SIGQUIT, SIGTERM or a closed output pipe) aborts every job\n"
     "at its next step and puts each port back as it was found.\n"},
    {"station-ports", "A PORT given as a by-id path stays the same board after board.\n"},
    {"stop-keys", "Ctrl-C"},
    {"stopped-by", "Ctrl-C or another stop signal"},
    {"ports-stable-name",
     "the name that survives replugging (/dev/serial/by-id/...; --port takes it\n"
     "too)"},
};
const size_t kPlatformWordCount = sizeof kPlatformWords / sizeof kPlatformWords[0];

const char kStableNameLead[] = "also";
const char kStableNameKey[] = "by_id";
