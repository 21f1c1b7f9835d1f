#include <windows.h>

#include <csignal>
#include <initializer_list>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include "cmdline.h"

void SetBinaryStdin() { _setmode(_fileno(stdin), _O_BINARY); }

void SetBinaryStdout() { _setmode(_fileno(stdout), _O_BINARY); }

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

void CatchStopSignals(void (*stop)(int))
{
    for (int signal : {SIGINT, SIGTERM, SIGBREAK}) std::signal(signal, stop);
}
