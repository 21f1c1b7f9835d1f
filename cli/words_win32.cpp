// quorvane-cli's words for Windows: ports are COMn and LPTn (a USB adapter
// shows the place it is plugged in at), the settings file is in the Windows
// folder, and a job stops on the console's events.
#include "cli.h"

const char kStableNameLead[] = "at";
const char kStableNameKey[] = "location";
