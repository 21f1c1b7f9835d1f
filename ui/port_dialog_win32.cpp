// The Port command: the port settings dialog, where the user picks the port
// and, for a serial port, the baud rate of the next write. OK changes the
// settings in memory only; they reach the file when the program is left
// with YES.
#include "ui.h"

#include "windows_program.h"
#include "resource.h"
#include "settings.h"

namespace {

const int kBaudButtons[] = {IDC_BAUD_19200, IDC_BAUD_9600, IDC_BAUD_4800, IDC_BAUD_38400};

void AddToList(void* list, const char* portName)
{
    SendMessageA(static_cast<HWND>(list), CB_ADDSTRING, 0, LPARAM(portName));
}

// Entries are port names, which always fit; a longer text is not one of them.
bool ReadListEntry(void* list, int index, char (&entry)[kPortNameSize])
{
    HWND combo = static_cast<HWND>(list);
    LRESULT length = SendMessageA(combo, CB_GETLBTEXTLEN, WPARAM(index), 0);
    if (length == CB_ERR || length >= LRESULT(sizeof entry)) return false;
    return SendMessageA(combo, CB_GETLBTEXT, WPARAM(index), LPARAM(entry)) != CB_ERR;
}

// Only a serial port has a baud rate. Which button is checked never changes here.
void EnableBaudButtons(HWND dialog, bool enable)
{
    for (int button : kBaudButtons) EnableWindow(GetDlgItem(dialog, button), enable);
}

void FillAndPreset(HWND dialog)
{
    HWND list = GetDlgItem(dialog, IDC_PORT_LIST);
    DiscoverPorts(AddToList, list);
    CheckRadioButton(dialog, IDC_BAUD_19200, IDC_BAUD_38400, theBaudSelector);

    int count = int(SendMessageA(list, CB_GETCOUNT, 0, 0));
    int found = FindPresetEntry(thePortCode, count, ReadListEntry, list);
    // With no match nothing is selected and the buttons stay enabled.
    if (found < 0) return;
    SendMessageA(list, CB_SETCURSEL, WPARAM(found), 0);
    char entry[kPortNameSize];
    if (ReadListEntry(list, found, entry)) EnableBaudButtons(dialog, IsSerialEntry(entry));
}

void FollowSelection(HWND dialog)
{
    HWND list = GetDlgItem(dialog, IDC_PORT_LIST);
    LRESULT selected = SendMessageA(list, CB_GETCURSEL, 0, 0);
    char entry[kPortNameSize];
    if (selected != CB_ERR && ReadListEntry(list, int(selected), entry))
        EnableBaudButtons(dialog, IsSerialEntry(entry));
}

// No entry selected stores port code 0 (no port). The buttons are read even
// when disabled, so a parallel port keeps the checked baud button too.
void TakeOverChoice(HWND dialog)
{
    HWND list = GetDlgItem(dialog, IDC_PORT_LIST);
    PortCode code = 0;
    LRESULT selected = SendMessageA(list, CB_GETCURSEL, 0, 0);
    char entry[kPortNameSize];
    if (selected != CB_ERR && ReadListEntry(list, int(selected), entry)) code = PortCodeOfEntry(entry);
    thePortCode = code;

    // Tested in identifier order: should several be checked, the last wins.
    for (int button : kBaudButtons) {
        if (IsDlgButtonChecked(dialog, button) == BST_CHECKED) theBaudSelector = BaudSelector(button);
    }
}

INT_PTR HandleCommand(HWND dialog, WPARAM wParam)
{
    switch (LOWORD(wParam)) {
    case IDOK:
        TakeOverChoice(dialog);
        EndDialog(dialog, IDOK);
        return TRUE;
    case IDCANCEL:
        EndDialog(dialog, IDCANCEL);
        return TRUE;
    case IDC_PORT_LIST:
        if (HIWORD(wParam) != CBN_SELCHANGE) return FALSE;
        FollowSelection(dialog);
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

INT_PTR CALLBACK PortDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        FillAndPreset(dialog);
        return TRUE;
    case WM_COMMAND:
        return HandleCommand(dialog, wParam);
    default:
        return FALSE;
    }
}

void RunPortDialog(HWND owner)
{
    DialogBoxParamA(theInstance, MAKEINTRESOURCEA(IDD_PORT), owner, PortDialogProc, 0);
}
