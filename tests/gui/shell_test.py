"""The main window and the exit prompt of the real program under Wine.

    python3 shell_test.py CONFIG CASE    (python3 shell_test.py --list)
"""
import os
import sys

from guiharness import GuiSession, GuiTestFailure, expect_equal, expect_true, run_cases

WS_POPUP = 0x80000000
WS_CHILD = 0x40000000
WS_VISIBLE = 0x10000000
WS_CAPTION = 0x00C00000
WS_SYSMENU = 0x00080000
WS_THICKFRAME = 0x00040000
WS_MINIMIZEBOX = 0x00020000
WS_MAXIMIZEBOX = 0x00010000
WS_GROUP = 0x00020000
WS_TABSTOP = 0x00010000
DS_MODALFRAME = 0x80
BS_TYPE_MASK = 0xF
BS_PUSHBUTTON, BS_DEFPUSHBUTTON = 0, 1
SS_TYPE_MASK = 0x1F
SS_CENTER, SS_ICON = 1, 3

IDYES, IDNO, IDCANCEL = 6, 7, 2
IDM_EXIT = 303

MAIN_TITLE = 'Quorvane  Ver2.2.0.1'
# A file that the program reads but would never write: any save shows.
UNCANONICAL_SETTINGS = b'[PELMARIX]\r\nPORT1=CD\r\nPORT4=00031\r\n'
SAVED_FROM_UNCANONICAL = b'[PELMARIX]\r\nPORT1=00cd\r\nPORT4=0003\r\n'
SAVED_DEFAULTS = b'[PELMARIX]\r\nPORT1=00cb\r\nPORT4=0000\r\n'

# The exit prompt's controls in tab order: identifier, class, text, style
# bits that must be set, style bits that must be clear, place in dialog units.
EXIT_PROMPT_CONTROLS = [
    (IDYES, 'Button', 'YES', BS_DEFPUSHBUTTON | WS_TABSTOP | WS_GROUP, 0, (8, 32, 48, 12)),
    (IDNO, 'Button', 'NO', BS_PUSHBUTTON | WS_TABSTOP, WS_GROUP, (66, 32, 48, 12)),
    (IDCANCEL, 'Button', 'CANCEL', BS_PUSHBUTTON | WS_TABSTOP, WS_GROUP, (124, 32, 48, 12)),
    (0xFFFF, 'Static', 'Setting Parameter Save?', SS_CENTER | WS_GROUP, WS_TABSTOP, (40, 12, 100, 8)),
    (102, 'Static', None, SS_ICON, WS_TABSTOP | WS_GROUP, (8, 8, 20, 20)),
]


def start_program(session):
    session.start_app()
    main = session.find_window(window_class='PELMARIX', timeout_ms=60000)
    expect_equal(main['text'], MAIN_TITLE, 'main window title')
    return main


def pixels(units, base_x, base_y):
    """Dialog units to pixels, rounded as the dialog manager does."""
    x, y, width, height = units
    scale = lambda value, base, per: (value * base + per // 2) // per
    return (scale(x, base_x, 4), scale(y, base_y, 8), scale(width, base_x, 4), scale(height, base_y, 8))


def dialog_base_units(placed):
    """The font's base units for which every (units, pixels) pair fits."""
    for base_x in range(1, 40):
        for base_y in range(1, 80):
            if all(pixels(units, base_x, base_y) == tuple(px) for units, px in placed):
                return base_x, base_y
    raise GuiTestFailure('no dialog base units fit the exit prompt: %r' % (placed,))


def check_exit_prompt(session, main, screenshot):
    """The exit prompt as it must look; its window."""
    prompt = session.find_window(window_class='#32770', title='Exit', pid=main['pid'], owner=main.hwnd)
    style = prompt.style()
    expect_true(style & WS_POPUP and style & WS_CAPTION == WS_CAPTION and style & DS_MODALFRAME,
                'exit prompt is a captioned modal pop-up (style %#x)' % style)
    expect_true(not style & WS_SYSMENU, 'exit prompt has no system menu (style %#x)' % style)

    controls = session.controls(prompt.hwnd)
    expect_equal([int(c['id']) for c in controls], [c[0] for c in EXIT_PROMPT_CONTROLS], 'exit prompt controls')
    placed = []
    for control, (ident, kind, text, must, must_not, units) in zip(controls, EXIT_PROMPT_CONTROLS):
        what = 'exit prompt control %d' % ident
        expect_equal(control['class'], kind, what + ' class')
        if text is not None:
            expect_equal(control['text'], text, what + ' text')
        style = int(control['style'], 16)
        type_mask = BS_TYPE_MASK if kind == 'Button' else SS_TYPE_MASK
        expect_equal(style & type_mask, must & type_mask, what + ' kind')
        expect_equal(style & (must & ~type_mask), must & ~type_mask, what + ' style bits set')
        expect_equal(style & must_not, 0, what + ' style bits clear')
        expect_equal(control['visible'], '1', what + ' visible')
        rect = [int(v) for v in control['rect'].split(',')]
        if style & SS_TYPE_MASK == SS_ICON and kind == 'Static':
            units, rect = units[:2] + (0, 0), rect[:2] + [0, 0]  # an icon control takes the icon's size
        placed.append((units, rect))

    # The template's sizes and places, all in one consistent dialog unit,
    # and the prompt at 10,10 from the corner of the main window's client area.
    left, top, width, height = prompt.client()
    placed.append(((0, 0, 180, 52), [0, 0, width, height]))
    main_left, main_top, _, _ = main.client()
    placed.append(((10, 10, 0, 0), [left - main_left, top - main_top, 0, 0]))
    dialog_base_units(placed)

    expect_equal(int(prompt['focus_id']), IDYES, 'the control with the focus in the exit prompt')
    session.screenshot(screenshot, prompt)
    return prompt


def expect_still_running(session, main, prompt):
    session.wait_gone(prompt.hwnd)
    expect_true(session.app_running(), 'the program keeps running')
    expect_true(session.window_exists(main.hwnd), 'the main window stays open')


def expect_ended(session):
    expect_equal(session.wait_app_exit(), 0, 'exit code of the program')


def read_settings(session):
    try:
        with open(session.settings_path(), 'rb') as settings:
            return settings.read()
    except FileNotFoundError:
        return None


def write_settings(session, content):
    with open(session.settings_path(), 'wb') as settings:
        settings.write(content)


def main_window(config):
    with GuiSession(config, 'shell_main_window') as session:
        main = start_program(session)
        expect_equal(main['class'], 'PELMARIX', 'main window class')
        expect_equal(main.rect(), (20, 20, 480, 80), 'main window place and size')
        style = main.style()
        for bit, name in ((WS_CAPTION, 'caption'), (WS_SYSMENU, 'system menu'), (WS_MINIMIZEBOX, 'minimize box'),
                          (WS_VISIBLE, 'visible')):
            expect_true(style & bit == bit, 'main window has a %s (style %#x)' % (name, style))
        for bit, name in ((WS_THICKFRAME, 'sizing border'), (WS_MAXIMIZEBOX, 'maximize box'), (WS_POPUP, 'pop-up'),
                          (WS_CHILD, 'child')):
            expect_true(not style & bit, 'main window has no %s (style %#x)' % (name, style))
        expect_equal(int(main['owner'], 16), 0, 'main window owner')
        _, client_top, client_width, client_height = main.client()
        expect_true(client_width > 0 and client_height > 0, 'main window has a client area')

        items = session.menu_items(main.hwnd)
        expect_equal([(int(i['id']), i['text'], i['popup']) for i in items],
                     [(301, '&Write !', '0'), (302, '&Port !', '0'), (303, '&Exit !', '0')],
                     'menu bar: command, text, pop-up')
        for item in items:
            expect_equal(int(item['type'], 16), 0, 'menu item %s is a plain text item' % item['id'])
            expect_equal(int(item['state'], 16), 0, 'menu item %s is enabled' % item['id'])
        session.screenshot('main_window', main)

        session.close_box(main.hwnd)
        prompt = check_exit_prompt(session, main, 'shell_main_window-exit_prompt')
        session.click(prompt.hwnd, IDNO)
        expect_ended(session)
        expect_equal(read_settings(session), None, 'settings file after NO')


def exit_command_yes_saves(config):
    with GuiSession(config, 'shell_exit_command_yes') as session:
        main = start_program(session)
        session.command(main.hwnd, IDM_EXIT)  # what the menu item sends
        prompt = check_exit_prompt(session, main, 'exit_prompt')
        session.click(prompt.hwnd, IDYES)
        expect_ended(session)
        expect_equal(read_settings(session), SAVED_DEFAULTS, 'settings file after YES without a file')


def close_box_no_leaves_file(config):
    with GuiSession(config, 'shell_close_box_no') as session:
        write_settings(session, UNCANONICAL_SETTINGS)
        modified = os.stat(session.settings_path()).st_mtime_ns
        main = start_program(session)
        session.close_box(main.hwnd)
        prompt = check_exit_prompt(session, main, 'shell_close_box_no-exit_prompt')
        session.click(prompt.hwnd, IDNO)
        expect_ended(session)
        expect_equal(read_settings(session), UNCANONICAL_SETTINGS, 'settings file after NO')
        expect_equal(os.stat(session.settings_path()).st_mtime_ns, modified, 'settings file time after NO')


def alt_f4_cancel_keeps_running(config):
    with GuiSession(config, 'shell_alt_f4_cancel') as session:
        write_settings(session, UNCANONICAL_SETTINGS)
        main = start_program(session)
        session.key(main.hwnd, 'alt+f4')
        prompt = check_exit_prompt(session, main, 'shell_alt_f4_cancel-exit_prompt')
        session.click(prompt.hwnd, IDCANCEL)
        expect_still_running(session, main, prompt)
        expect_equal(read_settings(session), UNCANONICAL_SETTINGS, 'settings file after CANCEL')

        # Still answering, with the settings it loaded: YES now saves them.
        session.command(main.hwnd, IDM_EXIT)
        prompt = check_exit_prompt(session, main, 'shell_alt_f4_cancel-exit_prompt_again')
        session.click(prompt.hwnd, IDYES)
        expect_ended(session)
        expect_equal(read_settings(session), SAVED_FROM_UNCANONICAL, 'settings file after YES')


def esc_keeps_running_enter_saves(config):
    with GuiSession(config, 'shell_esc_enter') as session:
        write_settings(session, UNCANONICAL_SETTINGS)
        main = start_program(session)
        session.close_box(main.hwnd)
        prompt = check_exit_prompt(session, main, 'shell_esc_enter-exit_prompt')
        session.key(prompt.hwnd, 'esc')
        expect_still_running(session, main, prompt)
        expect_equal(read_settings(session), UNCANONICAL_SETTINGS, 'settings file after Esc')

        # The Exit item through its mnemonic, then Enter: the default button, YES.
        session.key(main.hwnd, 'alt+e')
        prompt = check_exit_prompt(session, main, 'shell_esc_enter-exit_prompt_again')
        session.key(prompt.hwnd, 'enter')
        expect_ended(session)
        expect_equal(read_settings(session), SAVED_FROM_UNCANONICAL, 'settings file after Enter')


CASES = {
    'main_window': main_window,
    'exit_command_yes_saves': exit_command_yes_saves,
    'close_box_no_leaves_file': close_box_no_leaves_file,
    'alt_f4_cancel_keeps_running': alt_f4_cancel_keeps_running,
    'esc_keeps_running_enter_saves': esc_keeps_running_enter_saves,
}

if __name__ == '__main__':
    sys.exit(run_cases(CASES, sys.argv))
