#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

#include "cli.h"

void SetBinaryStdin() {}

void SetBinaryStdout() {}

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

void CatchStopSignals(void (*stop)(int))
{
    struct sigaction action = {};
    action.sa_handler = stop;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) sigaction(signal, &action, nullptr);
}

bool IsSameFile(const char* a, const char* b)
{
    struct stat first = {}, second = {};
    return stat(a, &first) == 0 && stat(b, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}
