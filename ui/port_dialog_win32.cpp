// The Port command. The port settings dialog is not part of the program yet:
// the command does nothing.
#include "ui.h"

void RunPortDialog(HWND) {}
