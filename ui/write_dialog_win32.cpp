// The Write command: choose the firmware file, confirm, open the port and
// send the file on the worker's thread while the dialog shows the byte count
// and offers ABORT. The dialog owns the file and the port: it opens both
// and closes both, in the handler of whichever outcome the worker reports.
#include <windows.h>
#include <commdlg.h>
#include <process.h>

#include <cstddef>
#include <cstdio>

#include "windows_program.h"
#include "resource.h"
#include "settings.h"
#include "transfer.h"
#include "ui.h"

WriteJob theWriteJob;

void TransferWorker()
{
    RunWriteJob(theWriteJob);
}

namespace {

constexpr INT_PTR kWriteEnded = 1;
constexpr INT_PTR kWriteFailed = 0;  // also: chooser or confirmation cancelled
constexpr INT_PTR kWriteAborted = 3;

constexpr char kFirmwareFilter[] = "S-Format File (*.MOT)\0*.MOT\0Other File (*.*)\0*.*\0";

// The chooser's buffers live as long as the program: each Write starts with
// the path chosen last time.
char theFirmwarePath[256];
char theFirmwareTitle[32];

// The old-sized record (76 bytes in the 32-bit program), so that the 9x
// family's chooser takes it too. No flags: a typed name is not checked for
// existence here; opening the file tells.
// OPENFILENAME_SIZE_VERSION_400A: the record up to lpTemplateName.
static_assert(sizeof(void*) != 4 || offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(LPCSTR) == 76,
              "the 32-bit program hands the chooser the 76-byte record");

OPENFILENAMEA FirmwareChooserRecord()
{
    OPENFILENAMEA record = {};
    record.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
    record.hwndOwner = nullptr;
    record.hInstance = nullptr;
    record.lpstrFilter = kFirmwareFilter;
    record.lpstrCustomFilter = nullptr;
    record.nFilterIndex = 1;
    record.lpstrFile = theFirmwarePath;
    record.nMaxFile = sizeof theFirmwarePath;
    record.lpstrFileTitle = theFirmwareTitle;
    record.nMaxFileTitle = sizeof theFirmwareTitle;
    record.lpstrInitialDir = nullptr;
    record.lpstrTitle = nullptr;
    record.Flags = 0;
    record.lpstrDefExt = "MOT";
    return record;
}

// Set up once and then written only by the chooser, which keeps the path
// and the index of the filter in use in it between runs.
OPENFILENAMEA theFirmwareChooser = FirmwareChooserRecord();

// The total the counter shows; the user-interface thread only.
long theShownTotal;

INT_PTR ShowMessageDialog(HWND owner, int dialogId)
{
    return DialogBoxParamA(theInstance, MAKEINTRESOURCEA(dialogId), owner, MessageDialogProc, 0);
}

void ShowByteCount(HWND dialog, long total)
{
    char text[16];
    std::snprintf(text, sizeof text, "%8ld", total);
    SetDlgItemTextA(dialog, IDC_BYTE_COUNT, text);
    theShownTotal = total;
}

// The counter never steps back: a total below the one shown is stale.
void ShowProgress(HWND dialog, LPARAM total)
{
    if (long(total) < theShownTotal) return;
    ShowByteCount(dialog, long(total));
}

// _beginthread wants a __cdecl procedure with an argument.
void __cdecl RunTransferWorker(void*)
{
    TransferWorker();
}

// The worker's notifications reach the dialog as its window messages,
// synchronously: the worker waits until the dialog has handled each.
UINT MessageOf(WriteNote note)
{
    switch (note) {
    case WriteNote::Progress: return WM_WRITE_PROGRESS;
    case WriteNote::End: return WM_WRITE_END;
    case WriteNote::Error: return WM_WRITE_ERROR;
    case WriteNote::Aborted: break;
    }
    return WM_WRITE_ABORTED;
}

void NotifyDialog(void* dialog, WriteNote note, long long total)
{
    SendMessageA(static_cast<HWND>(dialog), MessageOf(note), 0, LPARAM(total));
}

// The worker has stopped touching both: it waits in its last notification.
void ReleaseJobResources()
{
    ClosePort(static_cast<Port*>(theWriteJob.seam.port));
    std::fclose(theWriteJob.source);
}

void EndWithMessage(HWND dialog, int messageDialogId, INT_PTR result)
{
    if (messageDialogId) ShowMessageDialog(dialog, messageDialogId);
    EndDialog(dialog, result);
}

// Everything before the dialog is shown: file, confirmation, counter, port,
// worker. Any step that fails ends the dialog before it appears.
void StartWriteJob(HWND dialog)
{
    if (!GetOpenFileNameA(&theFirmwareChooser)) {
        EndDialog(dialog, kWriteFailed);
        return;
    }
    FILE* source = std::fopen(theFirmwarePath, "rb");
    if (!source) {
        EndWithMessage(dialog, IDD_WRITE_ERROR, kWriteFailed);
        return;
    }
    if (ShowMessageDialog(dialog, IDD_CONFIRM) != IDOK) {
        std::fclose(source);
        EndDialog(dialog, kWriteFailed);
        return;
    }
    SendDlgItemMessageA(dialog, IDC_BYTE_COUNT, WM_SETFONT, WPARAM(GetStockObject(SYSTEM_FIXED_FONT)), FALSE);
    ShowByteCount(dialog, 0);

    OpenedPort port = OpenDevicePort(thePortCode, theBaudSelector);
    if (!port.port) {
        std::fclose(source);
        EndWithMessage(dialog, IDD_WRITE_ERROR, kWriteFailed);
        return;
    }

    PrepareWriteJob(theWriteJob);
    theWriteJob.source = source;
    FillPortSeam(theWriteJob.seam, port.port);
    theWriteJob.seam.frontEnd = dialog;
    theWriteJob.seam.notify = NotifyDialog;
    theWriteJob.ackMode = port.ackMode;
    theWriteJob.answerTimeoutMs = 0;  // the device's answer is awaited until it comes or ABORT
    // The counter already shows 0: no zero count is posted, which could
    // arrive after the worker's first totals and step the counter back.
    if (_beginthread(RunTransferWorker, 0, nullptr) == uintptr_t(-1L)) {
        theWriteJob.running = 0;
        ReleaseJobResources();
        EndWithMessage(dialog, IDD_WRITE_ERROR, kWriteFailed);
    }
}

}  // namespace

// The worker's notifications arrive by SendMessageA: each handler runs while
// the worker waits for it.
INT_PTR CALLBACK WriteDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        theShownTotal = 0;
        StartWriteJob(dialog);
        return TRUE;
    case WM_COMMAND:
        // Only ABORT: Esc and Alt+F4 must not end a job that is running.
        if (wParam != IDC_ABORT) return FALSE;
        theWriteJob.running = 0;
        return TRUE;
    case WM_WRITE_PROGRESS:
        ShowProgress(dialog, lParam);
        return TRUE;
    case WM_WRITE_END:
        ReleaseJobResources();
        EndWithMessage(dialog, IDD_WRITE_END, kWriteEnded);
        return TRUE;
    case WM_WRITE_ERROR:
        ReleaseJobResources();
        EndWithMessage(dialog, IDD_WRITE_ERROR, kWriteFailed);
        return TRUE;
    case WM_WRITE_ABORTED:
        ReleaseJobResources();
        EndDialog(dialog, kWriteAborted);
        return TRUE;
    default:
        return FALSE;
    }
}

void RunWriteDialog(HWND owner)
{
    DialogBoxParamA(theInstance, MAKEINTRESOURCEA(IDD_WRITE), owner, WriteDialogProc, 0);
}
