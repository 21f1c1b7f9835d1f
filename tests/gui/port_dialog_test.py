"""The port settings dialog of the real program under Wine: the ports it
lists, the preset, the baud buttons, and what OK, CANCEL and Esc leave in
the settings file when the program is left with YES.

    python3 port_dialog_test.py CONFIG CASE    (python3 port_dialog_test.py --list)

Ports reach the device maps two ways: through HKLM\\Software\\Wine\\Ports,
from which Wine builds the maps whenever its wineserver starts, and straight
into the (volatile) maps under a persistent wineserver, for values Wine would
never make (a lower-case com7, a value that is not a string, names and data
of 256 characters).
"""
import os
import sys
import time

from guiharness import GuiSession, GuiTestFailure, expect_equal, expect_true, run_cases
from shell_test import dialog_base_units, expect_ended, read_settings, start_program, write_settings
from write_dialog_test import (WRITE_END, Device, confirm, dismiss, expect_message, find_write_dialog,
                               open_chooser, worked_example)

IDOK, IDCANCEL, IDYES = 1, 2, 6
IDM_PORT, IDM_EXIT = 302, 303
IDC_PORT_LIST = 201
IDC_BAUD_19200, IDC_BAUD_9600, IDC_BAUD_4800, IDC_BAUD_38400 = 202, 203, 204, 205
BAUD_BUTTONS = (IDC_BAUD_38400, IDC_BAUD_19200, IDC_BAUD_9600, IDC_BAUD_4800)

WS_POPUP = 0x80000000
WS_CAPTION = 0x00C00000
WS_SYSMENU = 0x00080000
WS_GROUP = 0x00020000
WS_TABSTOP = 0x00010000
DS_MODALFRAME = 0x80
BS_TYPE_MASK = 0xF
BS_PUSHBUTTON, BS_DEFPUSHBUTTON, BS_GROUPBOX, BS_AUTORADIOBUTTON = 0, 1, 7, 9
CBS_TYPE_MASK = 0x3
CBS_DROPDOWNLIST, CBS_SORT = 3, 0x100

WINE_PORTS = r'HKLM\Software\Wine\Ports'
SERIAL_MAP = r'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM'
PARALLEL_MAP = r'HKLM\HARDWARE\DEVICEMAP\PARALLEL PORTS'

# Dialog 108's controls in tab order: identifier, class, text, kind, style
# bits that must be set, style bits that must be clear, place in dialog units.
PORT_DIALOG_CONTROLS = [
    (IDOK, 'Button', 'OK', BS_DEFPUSHBUTTON, WS_TABSTOP | WS_GROUP, 0, (14, 148, 56, 12)),
    (IDCANCEL, 'Button', 'CANCEL', BS_PUSHBUTTON, WS_TABSTOP, WS_GROUP, (80, 148, 56, 12)),
    # The combo box hands WS_VSCROLL on to its drop-down list (the template's
    # style is checked in tests/ui/check_exe_resources.sh).
    (IDC_PORT_LIST, 'ComboBox', '', CBS_DROPDOWNLIST, CBS_SORT | WS_TABSTOP | WS_GROUP, 0, (16, 20, 118, 56)),
    (IDC_BAUD_38400, 'Button', '38400bps', BS_AUTORADIOBUTTON, WS_TABSTOP | WS_GROUP, 0, (16, 66, 118, 8)),
    (IDC_BAUD_19200, 'Button', '19200bps', BS_AUTORADIOBUTTON, 0, WS_TABSTOP | WS_GROUP, (16, 82, 118, 8)),
    (IDC_BAUD_9600, 'Button', ' 9600bps', BS_AUTORADIOBUTTON, 0, WS_TABSTOP | WS_GROUP, (16, 98, 118, 8)),
    (IDC_BAUD_4800, 'Button', ' 4800bps', BS_AUTORADIOBUTTON, 0, WS_TABSTOP | WS_GROUP, (16, 114, 118, 8)),
    (0xFFFF, 'Button', 'Port', BS_GROUPBOX, WS_GROUP, WS_TABSTOP, (8, 8, 134, 32)),
    (0xFFFF, 'Button', 'BaudRate', BS_GROUPBOX, WS_GROUP, WS_TABSTOP, (8, 52, 134, 84)),
]


def settings_file(baud_selector, port_code):
    return b'[PELMARIX]\r\nPORT1=%04x\r\nPORT4=%04x\r\n' % (baud_selector, port_code)


# -- ports in the device maps ----------------------------------------------

def map_values(session, key):
    """The (name, type, data) of every value of a registry key, as reg lists them."""
    result = session.wine('reg', 'query', key, check=False)
    values = []
    for line in result.stdout.splitlines():
        parts = line.strip().split('    ')
        if len(parts) == 3 and parts[1].startswith('REG_'):
            values.append(tuple(parts))
    return values


def wait_for_maps(session, serial_data, timeout=60):
    """Waits until Wine has built the serial map with at least these data."""
    deadline = time.monotonic() + timeout
    while True:
        present = {data for _, _, data in map_values(session, SERIAL_MAP)}
        if set(serial_data) <= present:
            return
        if time.monotonic() > deadline:
            raise GuiTestFailure('the serial device map never showed %r (it has %r)' % (serial_data, present))
        time.sleep(0.5)


def set_up_ports(session, wine_ports, wait_for=None):
    """Ports made by Wine from HKLM\\Software\\Wine\\Ports (COMn/LPTn = a Unix
    path), then a persistent wineserver whose maps hold them."""
    for name, path in wine_ports.items():
        session.wine('reg', 'add', WINE_PORTS, '/v', name, '/d', path, '/f')
    session.stop_wineserver()  # the maps are built when the next one starts
    session.keep_wineserver()
    wait_for_maps(session, wait_for if wait_for is not None else
                  [name for name in wine_ports if name.upper().startswith('COM')])


def replace_map(session, key, values):
    """Empties a (volatile) device map and fills it with (name, type, data);
    they last while the persistent wineserver runs."""
    session.wine('reg', 'delete', key, '/va', '/f', check=False)
    for name, kind, data in values:
        session.wine('reg', 'add', key, '/v', name, '/t', kind, '/d', data, '/f')
    expect_equal(sorted(map_values(session, key)), sorted(values), 'values now in %s' % key)


def names_in_maps(session):
    """The port names Wine's own map values stand for (all plain COMn and
    \\DosDevices\\LPTn strings)."""
    serial = [data for _, _, data in map_values(session, SERIAL_MAP)]
    parallel = [data[len('\\DosDevices\\'):] for _, _, data in map_values(session, PARALLEL_MAP)]
    return serial + parallel


# -- the dialog --------------------------------------------------------------

def start_in_firmware_folder(session):
    """The program in C:\\firmware, where its file chooser opens."""
    session.start_app(cwd=session.drive_c('firmware'))
    return session.find_window(window_class='PELMARIX', timeout_ms=60000)


def open_port_dialog(session, main):
    session.command(main.hwnd, IDM_PORT)  # what the menu item sends
    return session.find_window(window_class='#32770', title='Port', pid=main['pid'], owner=main.hwnd)


def check_port_dialog_layout(session, main, dialog):
    style = dialog.style()
    expect_true(style & WS_POPUP and style & WS_CAPTION == WS_CAPTION and style & DS_MODALFRAME,
                'port dialog is a captioned modal pop-up (style %#x)' % style)
    expect_true(not style & WS_SYSMENU, 'port dialog has no system menu (style %#x)' % style)
    controls = session.controls(dialog.hwnd)
    expect_equal([int(c['id']) for c in controls], [c[0] for c in PORT_DIALOG_CONTROLS], 'port dialog controls')
    placed = []
    for control, (ident, kind, text, type_bits, must, must_not, units) in zip(controls, PORT_DIALOG_CONTROLS):
        what = 'port dialog control %d (%s)' % (ident, text)
        expect_equal(control['class'], kind, what + ' class')
        expect_equal(control['text'], text, what + ' text')
        style = int(control['style'], 16)
        type_mask = BS_TYPE_MASK if kind == 'Button' else CBS_TYPE_MASK
        expect_equal(style & type_mask, type_bits, what + ' kind')
        expect_equal(style & must, must, what + ' style bits set')
        expect_equal(style & must_not, 0, what + ' style bits clear')
        rect = [int(v) for v in control['rect'].split(',')]
        if kind == 'ComboBox':
            units, rect = units[:3] + (0,), rect[:3] + [0]  # closed, a drop-down list is one line high
        placed.append((units, rect))
    left, top, width, height = dialog.client()
    placed.append(((0, 0, 150, 168), [0, 0, width, height]))
    main_left, main_top, _, _ = main.client()
    placed.append(((10, 10, 0, 0), [left - main_left, top - main_top, 0, 0]))
    dialog_base_units(placed)


def baud_buttons(session, dialog):
    """Each baud button's (checked, enabled)."""
    states = {int(c['id']): (c.get('checked') == '1', c['enabled'] == '1') for c in session.controls(dialog.hwnd)}
    return {button: states[button] for button in BAUD_BUTTONS}


def expect_baud_buttons(session, dialog, checked, enabled, what):
    states = baud_buttons(session, dialog)
    expect_equal({b for b, (on, _) in states.items() if on}, {checked} if checked else set(),
                 what + ': the checked baud button')
    expect_equal({b: e for b, (_, e) in states.items()}, {b: enabled for b in BAUD_BUTTONS},
                 what + ': baud buttons enabled')


def wait_until(check, what, timeout=5):
    """For the effect of a posted click, which the program handles a moment later."""
    deadline = time.monotonic() + timeout
    while not check():
        if time.monotonic() > deadline:
            raise GuiTestFailure(what)
        time.sleep(0.1)


def click_baud_button(session, dialog, button):
    session.click(dialog.hwnd, button)
    wait_until(lambda: baud_buttons(session, dialog)[button][0], 'baud button %d did not get checked' % button)


def select_entry(session, dialog, text):
    _, entries = session.combo(dialog.hwnd, IDC_PORT_LIST)
    expect_true(text in entries, '%s is in the list %r' % (text, entries))
    session.select(dialog.hwnd, IDC_PORT_LIST, entries.index(text))
    expect_equal(session.combo(dialog.hwnd, IDC_PORT_LIST)[0], entries.index(text), 'selected entry')


def leave_saving(session, main):
    """The Exit command and YES: the settings in memory go to the file."""
    session.command(main.hwnd, IDM_EXIT)
    prompt = session.find_window(window_class='#32770', title='Exit', pid=main['pid'], owner=main.hwnd)
    session.click(prompt.hwnd, IDYES)
    expect_ended(session)


# -- cases -------------------------------------------------------------------

def wine_ports_listed_and_ok_stores(config):
    """Ports Wine made; LPT1 preset with the baud buttons off; COM3 turns them
    on; OK stores 0x0003 and the checked button."""
    with GuiSession(config, 'port_dialog_wine_ports') as session:
        set_up_ports(session, {'COM3': '/dev/null', 'COM10': '/dev/null', 'COM1': '/dev/null',
                               'LPT1': '/dev/null', 'LPT2': '/dev/null'})
        write_settings(session, settings_file(IDC_BAUD_38400, 0x8001))
        main = start_program(session)
        dialog = open_port_dialog(session, main)
        check_port_dialog_layout(session, main, dialog)

        selected, entries = session.combo(dialog.hwnd, IDC_PORT_LIST)
        expected = names_in_maps(session)  # Wine adds the machine's own serial ports
        for name in ('COM1', 'COM3', 'COM10', 'LPT1', 'LPT2'):
            expect_true(name in expected, '%s is in the device maps %r' % (name, expected))
        expect_equal(sorted(entries), sorted(expected), 'the list holds every port of the maps')
        expect_equal(entries, sorted(entries, key=str.upper), 'the list is sorted (COM10 before COM3)')
        expect_true(entries.index('COM10') < entries.index('COM3'), 'COM10 comes before COM3')
        expect_equal(selected, entries.index('LPT1'), 'stored 0x8001 selects LPT1')
        expect_baud_buttons(session, dialog, IDC_BAUD_38400, False, 'LPT1 preset')
        session.screenshot('port_dialog', session.info(dialog.hwnd))

        select_entry(session, dialog, 'COM3')
        expect_baud_buttons(session, dialog, IDC_BAUD_38400, True, 'COM3 selected')
        click_baud_button(session, dialog, IDC_BAUD_19200)
        expect_baud_buttons(session, dialog, IDC_BAUD_19200, True, '19200 clicked')
        select_entry(session, dialog, 'LPT2')
        expect_baud_buttons(session, dialog, IDC_BAUD_19200, False, 'LPT2 selected')
        select_entry(session, dialog, 'COM3')
        expect_baud_buttons(session, dialog, IDC_BAUD_19200, True, 'COM3 selected again')

        session.click(dialog.hwnd, IDOK)
        session.wait_gone(dialog.hwnd)
        expect_equal(read_settings(session), settings_file(IDC_BAUD_38400, 0x8001),
                     'OK changes the settings in memory only')
        leave_saving(session, main)
        expect_equal(read_settings(session), settings_file(IDC_BAUD_19200, 0x0003), 'settings saved after OK')


# Serial map values in the order Wine enumerates them (by name): what the
# dialog must offer of them is in SERIAL_OFFERED.
LONG_NAME = '\\Device\\Serial7' + 'x' * 241  # 256 characters
SERIAL_VALUES = [
    ('\\Device\\Serial0', 'REG_SZ', 'COM1'),
    ('\\Device\\Serial1', 'REG_SZ', 'com7'),
    ('\\Device\\Serial2', 'REG_SZ', 'COM01'),
    ('\\Device\\Serial3', 'REG_SZ', 'COM5x'),
    ('\\Device\\Serial4', 'REG_EXPAND_SZ', 'COM8'),
    ('\\Device\\Serial5', 'REG_SZ', 'COM10'),
    ('\\Device\\Serial6a', 'REG_SZ', 'COM3'),
    ('\\Device\\Serial6b', 'REG_SZ', 'COM3'),
    ('\\Device\\Serial6c', 'REG_SZ', 'COM0'),
    (LONG_NAME, 'REG_SZ', 'COM9'),             # ends the serial map
    ('\\Device\\SerialZ', 'REG_SZ', 'COM11'),  # never seen
]
PARALLEL_VALUES = [
    ('\\Device\\Parallel0', 'REG_SZ', '\\DosDevices\\LPT1'),
    ('\\Device\\Parallel1', 'REG_SZ', '\\DosDevices\\lpt2'),
    ('\\Device\\Parallel2', 'REG_SZ', '\\Device\\Parallel0'),
    ('\\Device\\Parallel3', 'REG_SZ', '\\DosDevices\\' + 'L' * 244),  # 256 characters: ends the map
    ('\\Device\\Parallel4', 'REG_SZ', '\\DosDevices\\LPT3'),          # never seen
]
# As the combo box sorts them (letter case ignored); the duplicate COM3 twice.
OFFERED = ['COM0', 'COM1', 'COM10', 'COM3', 'COM3', 'com7', 'LPT1', 'lpt2']


def volatile_map_values(config):
    """Values only a test can put there: the rules of discovery, seen in the list."""
    with GuiSession(config, 'port_dialog_volatile_maps') as session:
        set_up_ports(session, {'COM1': '/dev/null'})
        replace_map(session, SERIAL_MAP, SERIAL_VALUES)
        replace_map(session, PARALLEL_MAP, PARALLEL_VALUES)
        expect_equal(len(LONG_NAME), 256, 'length of the long value name')
        write_settings(session, settings_file(IDC_BAUD_4800, 0x0007))
        main = start_program(session)
        dialog = open_port_dialog(session, main)

        selected, entries = session.combo(dialog.hwnd, IDC_PORT_LIST)
        expect_equal(entries, OFFERED, 'the ports offered, sorted by the list')
        expect_equal(selected, OFFERED.index('com7'), 'stored 0x0007 selects com7')
        expect_baud_buttons(session, dialog, IDC_BAUD_4800, True, 'com7 preset')

        # A parallel port keeps the checked button, read though disabled.
        select_entry(session, dialog, 'lpt2')
        expect_baud_buttons(session, dialog, IDC_BAUD_4800, False, 'lpt2 selected')
        session.key(dialog.hwnd, 'enter')  # the default button, OK
        session.wait_gone(dialog.hwnd)

        # The preset finds the new choice when the dialog opens again.
        dialog = open_port_dialog(session, main)
        expect_equal(session.combo(dialog.hwnd, IDC_PORT_LIST), (OFFERED.index('lpt2'), OFFERED),
                     'list and selection when opened again')
        expect_baud_buttons(session, dialog, IDC_BAUD_4800, False, 'lpt2 preset')
        session.click(dialog.hwnd, IDCANCEL)
        session.wait_gone(dialog.hwnd)
        leave_saving(session, main)
        expect_equal(read_settings(session), settings_file(IDC_BAUD_4800, 0x8002), 'settings saved')


def cancel_and_esc_keep_settings(config):
    with GuiSession(config, 'port_dialog_cancel_esc') as session:
        set_up_ports(session, {'COM1': '/dev/null', 'COM3': '/dev/null', 'LPT1': '/dev/null'})
        write_settings(session, settings_file(IDC_BAUD_38400, 0x8001))
        main = start_program(session)
        for leave in ('cancel', 'esc', 'alt+f4'):
            dialog = open_port_dialog(session, main)
            selected, entries = session.combo(dialog.hwnd, IDC_PORT_LIST)
            expect_equal(entries[selected], 'LPT1', 'preset before %s' % leave)
            expect_baud_buttons(session, dialog, IDC_BAUD_38400, False, 'LPT1 preset before %s' % leave)
            select_entry(session, dialog, 'COM3')
            click_baud_button(session, dialog, IDC_BAUD_4800)
            if leave == 'cancel':
                session.click(dialog.hwnd, IDCANCEL)
            else:
                session.key(dialog.hwnd, leave)
            session.wait_gone(dialog.hwnd)
            expect_true(session.app_running(), 'the program keeps running after %s' % leave)
        leave_saving(session, main)
        expect_equal(read_settings(session), settings_file(IDC_BAUD_38400, 0x8001),
                     'settings saved after CANCEL, Esc and Alt+F4')


def absent_port_no_selection(config):
    """A stored port the machine no longer has: nothing selected, the buttons
    enabled (bit 15 notwithstanding), and OK stores port 0."""
    with GuiSession(config, 'port_dialog_absent_port') as session:
        set_up_ports(session, {'COM1': '/dev/null', 'LPT1': '/dev/null'})
        write_settings(session, settings_file(IDC_BAUD_9600, 0x8005))
        main = start_program(session)
        dialog = open_port_dialog(session, main)
        selected, entries = session.combo(dialog.hwnd, IDC_PORT_LIST)
        expect_true('LPT5' not in entries and entries, 'LPT5 is absent from %r' % entries)
        expect_equal(selected, -1, 'no entry selected')
        expect_baud_buttons(session, dialog, IDC_BAUD_9600, True, 'no preset')
        session.click(dialog.hwnd, IDOK)
        session.wait_gone(dialog.hwnd)
        leave_saving(session, main)
        expect_equal(read_settings(session), settings_file(IDC_BAUD_9600, 0), 'OK without a selection stores 0')


def nine_x_fixed_parallel_ports(config):
    """Windows 98: the parallel ports are LPT1 to LPT3, whatever the map says;
    the serial map is read as on NT."""
    with GuiSession(config, 'port_dialog_win98') as session:
        session.wine('reg', 'add', r'HKCU\Software\Wine', '/v', 'Version', '/d', 'win98', '/f')
        set_up_ports(session, {'COM2': '/dev/null', 'LPT2': '/dev/null'})
        replace_map(session, SERIAL_MAP, [('\\Device\\Serial1', 'REG_SZ', 'COM2')])
        replace_map(session, PARALLEL_MAP, [('\\Device\\Parallel4', 'REG_SZ', '\\DosDevices\\LPT5')])
        write_settings(session, settings_file(IDC_BAUD_19200, 0x8003))
        main = start_program(session)
        dialog = open_port_dialog(session, main)
        selected, entries = session.combo(dialog.hwnd, IDC_PORT_LIST)
        expect_equal(entries, ['COM2', 'LPT1', 'LPT2', 'LPT3'], 'ports offered on Windows 98')
        expect_equal(selected, 3, 'stored 0x8003 selects LPT3')
        expect_baud_buttons(session, dialog, IDC_BAUD_19200, False, 'LPT3 preset')
        session.click(dialog.hwnd, IDCANCEL)
        session.wait_gone(dialog.hwnd)
        leave_saving(session, main)


def chosen_port_survives_restart_and_writes(config):
    """Across the program: choose COM5 at 38400 baud, leave with YES, start
    again: the file holds the choice, the dialog presets it, and a Write goes
    to COM5, where the simulated device takes the whole job."""
    with GuiSession(config, 'port_dialog_restart_write') as session:
        set_up_ports(session, {'COM5': '/dev/null', 'LPT1': '/dev/null'})
        firmware = worked_example(session)  # in C:\firmware, where the chooser opens
        main = start_in_firmware_folder(session)
        dialog = open_port_dialog(session, main)
        selected, _ = session.combo(dialog.hwnd, IDC_PORT_LIST)
        expect_equal(selected, -1, 'nothing chosen without a settings file')
        expect_baud_buttons(session, dialog, IDC_BAUD_9600, True, 'defaults')
        select_entry(session, dialog, 'COM5')
        click_baud_button(session, dialog, IDC_BAUD_38400)
        session.click(dialog.hwnd, IDOK)
        session.wait_gone(dialog.hwnd)
        leave_saving(session, main)
        expect_equal(read_settings(session), settings_file(IDC_BAUD_38400, 0x0005), 'settings saved')

        main = start_in_firmware_folder(session)
        dialog = open_port_dialog(session, main)
        selected, entries = session.combo(dialog.hwnd, IDC_PORT_LIST)
        expect_equal(entries[selected], 'COM5', 'preset after the restart')
        expect_baud_buttons(session, dialog, IDC_BAUD_38400, True, 'COM5 preset after the restart')
        session.click(dialog.hwnd, IDCANCEL)
        session.wait_gone(dialog.hwnd)

        # The device takes Wine's COM5 over from the /dev/null Wine gave it.
        os.remove(os.path.join(session.prefix, 'dosdevices', 'com5'))
        device = Device(session, '--once')
        chooser = open_chooser(session, main)
        session.choose_file(chooser.hwnd, firmware.windows_path)
        confirm(session, main)
        write = find_write_dialog(session, main)
        end = expect_message(session, main, WRITE_END, '"Write End !"', owner=write.hwnd)
        dismiss(session, end, 'ok')
        session.wait_gone(write.hwnd)
        expect_equal(device.wait_end(), 0, 'the simulator\'s verdict')
        device.expect_received(firmware.raw, 'the job on the chosen port')
        leave_saving(session, main)
        expect_equal(read_settings(session), settings_file(IDC_BAUD_38400, 0x0005), 'settings saved again')


CASES = {
    'wine_ports_listed_and_ok_stores': wine_ports_listed_and_ok_stores,
    'volatile_map_values': volatile_map_values,
    'cancel_and_esc_keep_settings': cancel_and_esc_keep_settings,
    'absent_port_no_selection': absent_port_no_selection,
    'nine_x_fixed_parallel_ports': nine_x_fixed_parallel_ports,
    'chosen_port_survives_restart_and_writes': chosen_port_survives_restart_and_writes,
}

if __name__ == '__main__':
    sys.exit(run_cases(CASES, sys.argv))
