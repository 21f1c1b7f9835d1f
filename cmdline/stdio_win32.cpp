#include <windows.h>

#include <csignal>
#include <initializer_list>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include "cmdline.h"

namespace {

void (*theStop)(int) = nullptr;

}  // namespace

void SetBinaryStdin() { _setmode(_fileno(stdin), _O_BINARY); }

void SetBinaryStdout() { _setmode(_fileno(stdout), _O_BINARY); }

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

void CatchStopSignals(void (*stop)(int))
{
    theStop = stop;
    for (int signal : {SIGINT, SIGTERM, SIGBREAK}) std::signal(signal, stop);
}

void StopIfOutputClosed()
{
    if (!theStop || !std::ferror(stdout)) return;
    // Whatever failed on a pipe, its reader is the likely cause and the
    // rest of the output would be lost the same way.
    if (GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout)))) == FILE_TYPE_PIPE) theStop(SIGTERM);
}
