#include <csignal>
#include <cstdio>
#include <initializer_list>
#include <unistd.h>

#include "cmdline.h"

void SetBinaryStdin() {}

void SetBinaryStdout() {}

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

void MoveUpLines(int lines) { std::fprintf(stderr, "\x1b[%dA", lines); }

void ClearLine() { std::fputs("\r\x1b[K", stderr); }

void CatchStopSignals(void (*stop)(int))
{
    struct sigaction action = {};
    action.sa_handler = stop;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) sigaction(signal, &action, nullptr);
}

// SIGPIPE does it here.
void StopIfOutputClosed() {}

// Names are bytes here, shown as they are.
char** TakeArgumentsInUtf8(int, char** argv) { return argv; }
