// The one procedure of the message-like dialogs: end, error, confirmation
// and the exit prompt.
#include "ui.h"

INT_PTR CALLBACK MessageDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_COMMAND:
        // IDOK..IDNO: one of the dialog's buttons; its identifier is the answer.
        if (wParam >= IDOK && wParam <= IDNO) {
            EndDialog(dialog, INT_PTR(wParam));
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}
