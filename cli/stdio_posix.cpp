#include <unistd.h>

#include "cli.h"

void SetBinaryStdout() {}

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }
