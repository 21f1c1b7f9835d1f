// quorvane-cli's words for Linux: ports are device paths (the by-id links
// survive replugging), the settings file is under ~/.config, and a job stops
// on signals.
#include "cli.h"

const char kStableNameLead[] = "also";
const char kStableNameKey[] = "by_id";
