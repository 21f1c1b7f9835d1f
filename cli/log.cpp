// `log verify` and `log summary`: a station log's chain, and what it records.
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "recipe.h"

namespace {

const char kLogHelp[] =
    "verify FILE.jsonl: checks that every line's prev is the SHA-256 of the\n"
    "line before it (64 zeros on the first), so that a line edited, removed or\n"
    "moved shows; prints the first line that breaks the chain.\n"
    "summary FILE.jsonl: boards written and failed and the serial numbers\n"
    "used, by recipe.\n"
    "\n"
    "  -h, --help            this text\n"
    "\n"
    "exit status: 0 the chain holds (verify) or the summary was printed, 1 the\n"
    "chain is broken, 2 a usage error or a log that cannot be read.\n";

int RunLog(int argc, char** argv)
{
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0))
        return ShowHelp(kLogCommand);
    if (argc < 2) return UsageError(kLogCommand, false, "log what? (verify or summary)");
    return UsageError(kLogCommand, false, "unknown log command '%s'", argv[1]);
}

}  // namespace

const CommandInfo kLogCommand = {"log", "quorvane-cli log verify|summary FILE.jsonl", kLogHelp, RunLog};
