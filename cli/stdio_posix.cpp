#include "cli.h"

void SetBinaryStdout() {}
