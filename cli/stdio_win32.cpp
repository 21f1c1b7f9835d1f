#include <csignal>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include "cli.h"

void SetBinaryStdin() { _setmode(_fileno(stdin), _O_BINARY); }

void SetBinaryStdout() { _setmode(_fileno(stdout), _O_BINARY); }

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

void CatchStopSignals(void (*stop)(int))
{
    for (int signal : {SIGINT, SIGTERM, SIGBREAK}) std::signal(signal, stop);
}

// Ports are COMn and LPTn there: never a file.
bool IsSameFile(const char*, const char*) { return false; }
