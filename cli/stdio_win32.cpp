#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include "cli.h"

void SetBinaryStdout() { _setmode(_fileno(stdout), _O_BINARY); }

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }
