// quorvane-cli's words for Windows: ports are COMn and LPTn (a USB adapter
// shows the place it is plugged in at), the settings file is in the Windows
// folder, and a job stops on the console's events.
#include "cli.h"

const PlatformWord kPlatformWords[] = {
    {"write-port",
     "  -p, --port PORT       a port to write to: COM5, LPT1 (`quorvane-cli ports`\n"
     "                        lists them), or auto (the target device's own USB\n"
     "                        port, when there is exactly one); give it several\n"
     "                        times for several devices (default: %QUORVANE_PORT%,\n"
     "                        else the remembered port, else auto)\n"},
    {"write-save",
     "  -s, --save            remember the (first) port and the baud rate, in the\n"
     "                        Windows program's settings file, KORVIN.INI in the\n"
     "                        Windows folder (usually C:\\Windows)\n"},
    {"write-stop",
     "Only serial (COMn) and parallel (LPTn) ports are written to. Ctrl-C or\n"
     "Ctrl-Break (and closing the console window, logging off, shutting down or a\n"
     "closed output pipe) aborts every job at its next step and puts each port\n"
     "back as it was found.\n"},
    {"station-ports",
     "A USB adapter keeps its COM number when it is plugged in again; the\n"
     "device's own USB ports are found whatever their numbers.\n"},
    {"stop-keys", "Ctrl-C (or Ctrl-Break)"},
    {"stopped-by", "Ctrl-C, Ctrl-Break or the console closing"},
    {"ports-stable-name",
     "the place it is plugged in at (a hub's port, Port_#0003.Hub_#0001, or a\n"
     "location path), which stays with the socket when boards are swapped"},
};
const size_t kPlatformWordCount = sizeof kPlatformWords / sizeof kPlatformWords[0];

const char kStableNameLead[] = "at";
const char kStableNameKey[] = "location";
