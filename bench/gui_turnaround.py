#!/usr/bin/env python3
"""One whole write job through the Windows program's write dialog under
wine64, to quorvane-sim answering at once behind COM5, with the simulator's
--timing file kept for the turnaround figure:

    gui_turnaround.py CONFIG FIRMWARE TIMING_FILE

CONFIG is the win64 build's tests/gui/gui.json; the GUI harness must have
its template prefix (guiharness.py make-template CONFIG). Exit status 0 when
the job ended with "Write End !" and the device got every byte.
"""
import os
import shutil
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'gui'))

import guiharness  # noqa: E402
import write_dialog_test as write  # noqa: E402


def main(argv):
    if len(argv) != 4:
        print(__doc__)
        return 2
    config = guiharness.load_config(argv[1])
    firmware_source, timing = argv[2], argv[3]
    with guiharness.GuiSession(config, 'bench_write_dialog') as session:
        firmware = write.Firmware(session, 'BENCH.MOT', firmware_source)
        device = write.Device(session, '--once', '--timing', timing)
        main_window = write.start_program(session, write.SETTINGS_COM5)
        chooser = write.open_chooser(session, main_window)
        session.choose_file(chooser.hwnd, firmware.windows_path)
        write.confirm(session, main_window)
        dialog = write.find_write_dialog(session, main_window)
        end = write.expect_message(session, main_window, write.WRITE_END, '"Write End !"', owner=dialog.hwnd)
        write.dismiss(session, end, 'ok')
        session.wait_gone(dialog.hwnd)
        guiharness.expect_equal(device.wait_end(), 0, "the simulator's verdict")
        device.expect_received(firmware.raw, 'the benchmark job')
    shutil.rmtree(os.path.join(config['work'], 'bench_write_dialog'), ignore_errors=True)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
