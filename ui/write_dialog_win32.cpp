// The Write command. The write dialog itself is not part of the program yet:
// the command does nothing.
#include "ui.h"

void RunWriteDialog(HWND) {}
