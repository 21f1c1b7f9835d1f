"""The Write command of the real program under Wine: the file chooser, the
confirmation, the write dialog and its outcomes, with quorvane-sim (or a pty
probe that shows whether the port was touched) behind COM5.

    python3 write_dialog_test.py CONFIG CASE    (python3 write_dialog_test.py --list)
"""
import os
import shutil
import subprocess
import sys
import time

from guiharness import (CHOOSER_FILE_TYPES, GuiSession, GuiTestFailure, expect_equal, expect_true,
                        run_cases)

WS_POPUP = 0x80000000
WS_CAPTION = 0x00C00000
WS_SYSMENU = 0x00080000
WS_GROUP = 0x00020000
WS_TABSTOP = 0x00010000
DS_MODALFRAME = 0x80
BS_TYPE_MASK = 0xF
BS_PUSHBUTTON, BS_DEFPUSHBUTTON = 0, 1
SS_TYPE_MASK = 0x1F
SS_CENTER, SS_RIGHT, SS_ICON = 1, 2, 3
NO_ID = 0xFFFF

IDOK, IDCANCEL, IDC_ABORT, IDC_BYTE_COUNT = 1, 2, 3, 206
IDM_WRITE = 301
MAIN_CLASS = 'PELMARIX'
DIALOG_CLASS = '#32770'

# The settings the program starts from: 9600 baud on COM5, or no port.
SETTINGS_COM5 = b'[PELMARIX]\r\nPORT1=00cb\r\nPORT4=0005\r\n'
SETTINGS_NO_PORT = b'[PELMARIX]\r\nPORT1=00cb\r\nPORT4=0000\r\n'

FILTERS = ['S-Format File (*.MOT)', 'Other File (*.*)']
FIRMWARE_DIR = 'C:\\firmware\\'

# Controls in tab order: identifier, class, text (None: not checked), style
# bits that must be set, style bits that must be clear, type bits, place in
# dialog units.
WRITE_DIALOG = [
    (IDC_ABORT, 'Button', 'ABORT', WS_TABSTOP | WS_GROUP, 0, BS_DEFPUSHBUTTON, (56, 32, 48, 12)),
    (101, 'Static', None, 0, WS_TABSTOP | WS_GROUP, SS_ICON, (8, 8, 20, 20)),
    (NO_ID, 'Static', 'Write Abort ?', WS_GROUP, WS_TABSTOP, SS_CENTER, (32, 12, 60, 8)),
    (NO_ID, 'Static', 'Byte', WS_GROUP, WS_TABSTOP, SS_CENTER, (140, 12, 16, 8)),
    (IDC_BYTE_COUNT, 'Static', None, WS_GROUP, WS_TABSTOP, SS_RIGHT, (96, 12, 40, 8)),
]
CONFIRMATION = [
    (IDOK, 'Button', 'OK', WS_TABSTOP | WS_GROUP, 0, BS_DEFPUSHBUTTON, (32, 36, 48, 12)),
    (IDCANCEL, 'Button', 'CANCEL', WS_TABSTOP, WS_GROUP, BS_PUSHBUTTON, (100, 36, 48, 12)),
    (NO_ID, 'Static', 'Firmware will be installed.\nDo you really want to do this ?', WS_GROUP, WS_TABSTOP,
     SS_CENTER, (40, 12, 100, 16)),
    (102, 'Static', None, 0, WS_TABSTOP | WS_GROUP, SS_ICON, (8, 12, 14, 16)),
]


def outcome_controls(icon, text):
    return [
        (IDOK, 'Button', 'OK', WS_TABSTOP | WS_GROUP, 0, BS_DEFPUSHBUTTON, (36, 32, 48, 12)),
        (icon, 'Static', None, 0, WS_TABSTOP | WS_GROUP, SS_ICON, (8, 8, 20, 20)),
        (NO_ID, 'Static', text, WS_GROUP, WS_TABSTOP, SS_CENTER, (30, 12, 60, 8)),
    ]


WRITE_END = outcome_controls(102, 'Write End !')
WRITE_ERROR = outcome_controls(103, 'Write Error !')


# -- the program's side -------------------------------------------------------

def pixels(units, base_x, base_y):
    """Dialog units to pixels, rounded as the dialog manager does."""
    x, y, width, height = units
    scale = lambda value, base, per: (value * base + per // 2) // per
    return (scale(x, base_x, 4), scale(y, base_y, 8), scale(width, base_x, 4), scale(height, base_y, 8))


def fits_some_base_units(placed):
    return any(all(pixels(units, bx, by) == tuple(px) for units, px in placed)
               for bx in range(1, 40) for by in range(1, 80))


def check_dialog(session, window, table, size, what, caption):
    """The dialog's frame and its controls as the template draws them."""
    style = window.style()
    expect_true(style & WS_POPUP and style & DS_MODALFRAME, '%s is a modal pop-up (style %#x)' % (what, style))
    expect_true(not style & WS_SYSMENU, '%s has no system menu (style %#x)' % (what, style))
    expect_equal(style & WS_CAPTION == WS_CAPTION, caption is not None, '%s has a caption' % what)
    if caption is not None:
        expect_equal(window['text'], caption, '%s caption' % what)
    controls = session.controls(window.hwnd)
    expect_equal([int(c['id']) for c in controls], [row[0] for row in table], '%s controls' % what)
    placed = []
    for control, (ident, kind, text, must, must_not, kind_bits, units) in zip(controls, table):
        name = '%s control %d' % (what, ident)
        expect_equal(control['class'], kind, name + ' class')
        if text is not None:
            expect_equal(control['text'], text, name + ' text')
        control_style = int(control['style'], 16)
        expect_true(control_style & must == must and not control_style & must_not,
                    '%s style %#x' % (name, control_style))
        type_mask = BS_TYPE_MASK if kind == 'Button' else SS_TYPE_MASK
        expect_equal(control_style & type_mask, kind_bits, name + ' kind')
        rect = [int(v) for v in control['rect'].split(',')]
        if kind_bits == SS_ICON and kind == 'Static':
            units, rect = units[:2] + (0, 0), rect[:2] + [0, 0]  # an icon control takes the icon's size
        placed.append((units, rect))
    # The dialog's size, and its place: 10,10 from the owner's client corner.
    left, top, width, height = window.client()
    placed.append((size, [0, 0, width, height]))
    owner_left, owner_top, _, _ = session.info(window['owner']).client()
    placed.append(((10, 10, 0, 0), [left - owner_left, top - owner_top, 0, 0]))
    expect_true(fits_some_base_units(placed), '%s: the places are not those of the template: %r' % (what, placed))


def start_program(session, settings):
    """The program with the given settings, its current folder C:\\firmware."""
    with open(session.settings_path(), 'wb') as settings_file:
        settings_file.write(settings)
    os.makedirs(session.drive_c('firmware'), exist_ok=True)
    session.start_app(cwd=session.drive_c('firmware'))
    return session.find_window(window_class=MAIN_CLASS, timeout_ms=60000)


def open_chooser(session, main):
    session.command(main.hwnd, IDM_WRITE)
    return session.find_window(window_class=DIALOG_CLASS, pid=main['pid'], title='Open', timeout_ms=30000)


def find_message(session, main, owner=None, title=''):
    """A dialog of the program: the outcome messages have no caption."""
    return session.find_window(window_class=DIALOG_CLASS, pid=main['pid'], title=title, owner=owner,
                               timeout_ms=30000)


def expect_message(session, main, table, what, owner=None):
    window = find_message(session, main, owner)
    check_dialog(session, window, table, (0, 0, 120, 52), what, None)
    return window


def expect_no_dialog(session, main, what):
    """No dialog of the program shows up within a second."""
    found, _ = session.driver('find', '--class', DIALOG_CLASS, '--pid', main['pid'], '--timeout', 1000,
                              check=False)
    expect_true('hwnd' not in found, '%s: a dialog appeared' % what)


def confirm(session, main, answer=IDOK, check=False, screenshot=None):
    window = session.find_window(window_class=DIALOG_CLASS, pid=main['pid'], title='Sign', timeout_ms=30000)
    if check:
        check_dialog(session, window, CONFIRMATION, (0, 0, 180, 56), 'confirmation', 'Sign')
    if screenshot:
        session.screenshot(screenshot, window)
    if answer == 'esc':
        session.key(window.hwnd, 'esc')
    else:
        session.click(window.hwnd, answer)
    session.wait_gone(window.hwnd)
    return window


def find_write_dialog(session, main):
    return session.find_window(window_class=DIALOG_CLASS, pid=main['pid'], title='Write', owner=main.hwnd,
                               timeout_ms=30000)


def counts_of(samples):
    """The counter's texts as numbers; each must be "%8ld"."""
    counts = []
    for text in samples:
        expect_true(len(text) == 8 and text.strip().isdigit() and text == '%8d' % int(text),
                    'the counter shows %r, not a count in eight characters' % text)
        counts.append(int(text))
    return counts


def expect_counter_ran_to(samples, total, from_zero):
    counts = counts_of(samples)
    expect_true(counts, 'the counter was never read')
    if from_zero:
        expect_equal(samples[0], '       0', 'the counter when the dialog appears')
    expect_true(all(a <= b for a, b in zip(counts, counts[1:])), 'the counter stepped back: %r' % counts)
    expect_equal(counts[-1], total, 'the last count shown')


def dismiss(session, window, how):
    if how == 'esc':
        session.key(window.hwnd, 'esc')
    else:
        session.click(window.hwnd, IDOK)
    session.wait_gone(window.hwnd)


# -- the device's side --------------------------------------------------------

class Firmware:
    """A firmware file on the prefix's drive C: and what a job sends for it."""

    def __init__(self, session, name, source):
        os.makedirs(session.drive_c('firmware'), exist_ok=True)
        self.path = session.drive_c('firmware', name)
        shutil.copy(source, self.path)
        self.windows_path = FIRMWARE_DIR + name
        self.raw = subprocess.run([session.config['cli'], 'frames', '--raw', source], check=True,
                                  stdout=subprocess.PIPE, timeout=60).stdout
        # Per frame: where it ends in the stream and the data bytes up to it.
        self.frame_ends, self.totals = [], []
        position, total = 7, 0
        while position < len(self.raw) and self.raw[position] == 2:
            total += self.raw[position + 1]
            position += 9 + self.raw[position + 1]
            self.frame_ends.append(position)
            self.totals.append(total)

    def total(self):
        return self.totals[-1] if self.totals else 0


def worked_example(session):
    return Firmware(session, 'WORKED.MOT', os.path.join(session.config['examples'], 'worked-example.mot'))


def large_firmware(session):
    source = os.path.join(session.work, 'large.mot')
    subprocess.run([session.config['make_firmware'], '--bytes', '300000', '--type', '3', '--record-bytes', '64',
                    '--address', '0', source], check=True, timeout=60)
    return Firmware(session, 'LARGE.MOT', source)


class Device:
    """quorvane-sim behind the prefix's COM5, recording every byte."""

    def __init__(self, session, *options):
        self.session = session
        self.received = os.path.join(session.work, 'received')
        link = os.path.join(session.prefix, 'dosdevices', 'com5')
        self.process = session.start_helper('sim', [session.config['sim'], '--link', link, '--raw', self.received,
                                                    '--transcript', os.path.join(session.work, 'transcript')]
                                            + list(options))
        deadline = time.monotonic() + 10
        while not os.path.islink(link):
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise GuiTestFailure('the simulator did not start: %s' % session.helper_log('sim'))
            time.sleep(0.05)

    def wait_end(self):
        """With --once: the simulator's verdict once the end sequence is in."""
        return self.session.wait_helper(self.process, 30)

    def stop(self):
        return self.session.stop_helper(self.process)

    def bytes_received(self):
        with open(self.received, 'rb') as raw:
            return raw.read()

    def expect_received(self, wanted, what):
        got = self.bytes_received()
        if got != wanted:
            first = next((i for i, (a, b) in enumerate(zip(got, wanted)) if a != b), min(len(got), len(wanted)))
            raise GuiTestFailure('%s: the device received %d bytes, wanted %d; first difference at byte %d'
                                 % (what, len(got), len(wanted), first))


class PortProbe:
    """A pty behind COM5 whose line is put in a state no port set-up leaves:
    if the program opens the port, the line settings change."""

    def __init__(self, session):
        self.process = subprocess.Popen([session.config['pty_probe']], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)
        session.helpers.append(self.process)
        self.pts = self.process.stdout.readline().strip()
        expect_true(self.pts.startswith('/dev/'), 'the pty probe did not start')
        link = os.path.join(session.prefix, 'dosdevices', 'com5')
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(self.pts, link)
        expect_equal(self.ask('scramble'), 'scrambled', 'pty probe')
        self.scrambled = self.ask('dump')

    def ask(self, command):
        self.process.stdin.write(command + '\n')
        self.process.stdin.flush()
        return self.process.stdout.readline().strip()

    def expect_untouched(self, what):
        expect_equal(self.ask('dump'), self.scrambled, '%s: the port\'s line settings' % what)


# -- the cases ----------------------------------------------------------------

def run_whole_job(session, main, firmware, device, screenshots, dismiss_with):
    """Chooser, confirmation, the write dialog to "Write End !"; checks the
    counter's course and every byte the device received."""
    chooser = open_chooser(session, main)
    expect_equal(session.combo(chooser.hwnd, CHOOSER_FILE_TYPES), (0, FILTERS), 'the chooser\'s file types')
    if screenshots:
        session.set_text(chooser.hwnd, session.file_name_field(chooser.hwnd), os.path.basename(firmware.path))
        session.screenshot('write_chooser', chooser)
    session.choose_file(chooser.hwnd, firmware.windows_path)
    confirm(session, main, check=screenshots, screenshot='write_confirmation' if screenshots else None)

    write = find_write_dialog(session, main)
    watch = session.start_watch(write.hwnd, IDC_BYTE_COUNT)
    check_dialog(session, write, WRITE_DIALOG, (0, 0, 160, 52), 'write dialog', 'Write')
    expect_equal(session.font(write.hwnd, IDC_BYTE_COUNT), 'SYSTEM_FIXED_FONT', 'the counter\'s font')
    if screenshots:
        session.wait_text(write.hwnd, IDC_BYTE_COUNT, '       0', differs=True, timeout_ms=60000)
        session.screenshot('write_running', write)

    end = expect_message(session, main, WRITE_END, '"Write End !"', owner=write.hwnd)
    samples, how = session.finish_watch(watch)
    expect_equal(how, 'disabled', 'how the watch of the counter ended')
    expect_counter_ran_to(samples, firmware.total(), from_zero=not screenshots)
    if screenshots:
        session.screenshot('write_end', end)
    dismiss(session, end, dismiss_with)
    session.wait_gone(write.hwnd)
    expect_equal(device.wait_end(), 0, 'the simulator\'s verdict')
    device.expect_received(firmware.raw, firmware.windows_path)


def case_worked_example(config):
    with GuiSession(config, 'write_worked_example') as session:
        firmware = worked_example(session)
        # Answers late, so that the dialog shows 0 for a while before 16.
        device = Device(session, '--once', '--delay', '1500')
        main = start_program(session, SETTINGS_COM5)
        run_whole_job(session, main, firmware, device, screenshots=False, dismiss_with='ok')


def case_large_file(config):
    with GuiSession(config, 'write_large_file') as session:
        firmware = large_firmware(session)
        # A little slower than a pty, so the running dialog can be seen.
        device = Device(session, '--once', '--delay', '2')
        main = start_program(session, SETTINGS_COM5)
        run_whole_job(session, main, firmware, device, screenshots=True, dismiss_with='esc')


def case_chooser_cancelled(config):
    with GuiSession(config, 'write_chooser_cancelled') as session:
        probe = PortProbe(session)
        main = start_program(session, SETTINGS_COM5)
        chooser = open_chooser(session, main)
        session.click(chooser.hwnd, IDCANCEL)
        session.wait_gone(chooser.hwnd)
        expect_no_dialog(session, main, 'chooser cancelled')
        probe.expect_untouched('chooser cancelled')


def case_missing_file(config):
    with GuiSession(config, 'write_missing_file') as session:
        probe = PortProbe(session)
        worked_example(session)
        main = start_program(session, SETTINGS_COM5)
        chooser = open_chooser(session, main)
        session.choose_file(chooser.hwnd, FIRMWARE_DIR + 'MISSING.MOT')
        error = expect_message(session, main, WRITE_ERROR, '"Write Error !" for a missing file')
        session.screenshot('write_error', error)
        dismiss(session, error, 'esc')
        expect_no_dialog(session, main, 'after "Write Error !"')
        probe.expect_untouched('missing file')


def case_confirmation_cancelled(config):
    """CANCEL, then Esc: the file is closed and the port never opened. The
    first name is typed without its extension: only WORKED.MOT exists."""
    with GuiSession(config, 'write_confirmation_cancelled') as session:
        probe = PortProbe(session)
        firmware = worked_example(session)
        main = start_program(session, SETTINGS_COM5)
        for typed, answer in ((FIRMWARE_DIR + 'WORKED', IDCANCEL), (firmware.windows_path, 'esc')):
            chooser = open_chooser(session, main)
            session.choose_file(chooser.hwnd, typed)
            confirm(session, main, answer=answer)
            expect_no_dialog(session, main, 'confirmation answered %s' % answer)
            probe.expect_untouched('confirmation answered %s' % answer)
        # Closed, not held: the file can be renamed over (Windows refuses that while it is open).
        session.wine('cmd', '/c', 'rename', firmware.windows_path, 'RENAMED.MOT')
        expect_true(os.path.exists(session.drive_c('firmware', 'RENAMED.MOT')), 'the file is still held open')


def case_no_port(config):
    with GuiSession(config, 'write_no_port') as session:
        firmware = worked_example(session)
        main = start_program(session, SETTINGS_NO_PORT)
        chooser = open_chooser(session, main)
        session.choose_file(chooser.hwnd, firmware.windows_path)
        confirm(session, main)
        error = expect_message(session, main, WRITE_ERROR, '"Write Error !" for port code 0')
        dismiss(session, error, 'ok')
        expect_no_dialog(session, main, 'after "Write Error !"')


def case_nak(config):
    with GuiSession(config, 'write_nak') as session:
        firmware = large_firmware(session)
        device = Device(session, '--nak', '3')
        main = start_program(session, SETTINGS_COM5)
        chooser = open_chooser(session, main)
        session.choose_file(chooser.hwnd, firmware.windows_path)
        confirm(session, main)
        write = find_write_dialog(session, main)
        error = expect_message(session, main, WRITE_ERROR, '"Write Error !" after a NAK', owner=write.hwnd)
        expect_equal(session.text(write.hwnd, IDC_BYTE_COUNT), '%8d' % firmware.totals[1],
                     'the count shown at the NAK of frame 3')
        dismiss(session, error, 'ok')
        session.wait_gone(write.hwnd)
        device.stop()
        device.expect_received(firmware.raw[:firmware.frame_ends[2]], 'NAK at frame 3')


def start_job_on_silent_device(session, main, firmware):
    chooser = open_chooser(session, main)
    session.choose_file(chooser.hwnd, firmware.windows_path)
    confirm(session, main)
    return find_write_dialog(session, main)


def case_silent_device_abort(config):
    """ABORT while the worker waits for an answer that never comes; then a
    second Write starts with the file and the file type chosen before."""
    with GuiSession(config, 'write_silent_device_abort') as session:
        firmware = worked_example(session)
        device = Device(session, '--silent')
        main = start_program(session, SETTINGS_COM5)
        chooser = open_chooser(session, main)
        session.select(chooser.hwnd, CHOOSER_FILE_TYPES, 1)
        session.choose_file(chooser.hwnd, firmware.windows_path)
        confirm(session, main)
        write = find_write_dialog(session, main)
        expect_equal(session.text(write.hwnd, IDC_BYTE_COUNT), '       0', 'the count before any answer')
        # The worker sees ABORT once the read under way (200 ms at most) returns.
        closed_ms = session.click(write.hwnd, IDC_ABORT, gone_ms=5000)
        print('the write dialog closed %d ms after ABORT' % closed_ms)
        expect_true(closed_ms <= 1000, 'the write dialog closed %d ms after ABORT, wanted about 200' % closed_ms)
        expect_no_dialog(session, main, 'after ABORT')
        device.expect_received(firmware.raw[:firmware.frame_ends[0]], 'ABORT at the first answer')

        chooser = open_chooser(session, main)
        expect_equal(session.text(chooser.hwnd, session.file_name_field(chooser.hwnd)).upper(), 'WORKED.MOT', 'the second chooser\'s file name')
        expect_equal(session.combo(chooser.hwnd, CHOOSER_FILE_TYPES)[0], 1, 'the second chooser\'s file type')
        session.click(chooser.hwnd, IDCANCEL)
        session.wait_gone(chooser.hwnd)
        device.stop()


def case_abort_several_times(config):
    """Three ABORTs at once end the job once; the next job runs normally."""
    with GuiSession(config, 'write_abort_several_times') as session:
        firmware = worked_example(session)
        device = Device(session, '--no-answer', '1')
        main = start_program(session, SETTINGS_COM5)
        write = start_job_on_silent_device(session, main, firmware)
        session.click(write.hwnd, IDC_ABORT, gone_ms=5000, times=3)
        expect_no_dialog(session, main, 'after three ABORTs')

        write = start_job_on_silent_device(session, main, firmware)
        end = expect_message(session, main, WRITE_END, '"Write End !" after the aborted job', owner=write.hwnd)
        expect_equal(session.text(write.hwnd, IDC_BYTE_COUNT), '%8d' % firmware.total(), 'the last count')
        dismiss(session, end, 'ok')
        session.wait_gone(write.hwnd)
        device.stop()
        first_frame = firmware.raw[:firmware.frame_ends[0]]
        device.expect_received(first_frame + firmware.raw, 'an aborted job, then a whole one')


# The device's own USB virtual serial port in the serial device map.
DEVICE_USB_NAME = '\\??\\USB#Vid_0d5c&Pid_0002#5&2c5e1a0&0&1'
SERIAL_DEVICE_MAP = 'HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM'


def case_device_usb_port(config):
    """COM5 is the device's USB port: frames go back to back and no answer
    is awaited (the device is silent; waiting would never end)."""
    with GuiSession(config, 'write_device_usb_port') as session:
        firmware = large_firmware(session)
        device = Device(session, '--silent', '--once')
        main = start_program(session, SETTINGS_COM5)
        # The device map lives only while the program's wineserver runs.
        session.wine('reg', 'add', SERIAL_DEVICE_MAP, '/v', DEVICE_USB_NAME, '/t', 'REG_SZ', '/d', 'COM5', '/f')
        chooser = open_chooser(session, main)
        session.choose_file(chooser.hwnd, firmware.windows_path)
        confirm(session, main)
        write = find_write_dialog(session, main)
        end = expect_message(session, main, WRITE_END, '"Write End !" on the USB port', owner=write.hwnd)
        expect_equal(session.text(write.hwnd, IDC_BYTE_COUNT), '%8d' % firmware.total(), 'the last count')
        dismiss(session, end, 'esc')
        session.wait_gone(write.hwnd)
        expect_equal(device.wait_end(), 0, 'the simulator\'s verdict')
        device.expect_received(firmware.raw, 'USB port')


CASES = {
    'worked_example': case_worked_example,
    'large_file': case_large_file,
    'chooser_cancelled': case_chooser_cancelled,
    'missing_file': case_missing_file,
    'confirmation_cancelled': case_confirmation_cancelled,
    'no_port': case_no_port,
    'nak': case_nak,
    'silent_device_abort': case_silent_device_abort,
    'abort_several_times': case_abort_several_times,
    'device_usb_port': case_device_usb_port,
}

if __name__ == '__main__':
    sys.exit(run_cases(CASES, sys.argv))
