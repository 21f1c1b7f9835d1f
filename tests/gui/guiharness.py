"""Runs the real Windows program in a real window and drives it like a user.

Each test gets its own X server (Xvfb on a free display) and its own Wine
prefix, copied from a template made once per test run, runs quorvane.exe in
it and talks to its windows through guidriver.exe, a small Win32 program
running in the same prefix. Every wait is bounded and every process started
here is stopped by its PID. See README.md in this folder.

    python3 guiharness.py make-template|remove-template CONFIG    (the CTest fixture)
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

# Wine settings of every prefix: windows not handed to a window manager and
# drawn with Wine's own frames, so that what Windows shows is what we see.
X11_DRIVER_KEY = r'HKCU\Software\Wine\X11 Driver'

# The open-file chooser's controls: the file-name field (the Explorer-style
# chooser's combo box cmb13, the old one's edit field edt1) and the list of
# file types (cmb1).
CHOOSER_FILE_NAME_FIELDS = (1148, 1152)
CHOOSER_FILE_TYPES = 1136


class GuiTestFailure(AssertionError):
    pass


def load_config(path):
    """The build's paths, written by CMake into the build folder."""
    with open(path) as config_file:
        return json.load(config_file)


def wine_environment(prefix, display=None):
    env = dict(os.environ)
    env.update(WINEPREFIX=prefix, WINEDEBUG='-all', WINEDLLOVERRIDES='mscoree,mshtml=', LANG='C', LC_ALL='C')
    if display is None:
        env.pop('DISPLAY', None)
    else:
        env['DISPLAY'] = display
    return env


def run_bounded(command, env, timeout, check=True):
    """Runs a command to its end, killing it (by PID) if it takes too long.

    Its output goes through files, not pipes: Wine starts its own daemons
    (services, the desktop) from whichever process comes first, they inherit
    that process's output, and a pipe would then never reach its end."""
    with tempfile.TemporaryFile('w+') as out, tempfile.TemporaryFile('w+') as err:
        process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err, text=True)
        try:
            returncode = process.wait(timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            raise
        out.seek(0)
        err.seek(0)
        result = subprocess.CompletedProcess(command, returncode, out.read(), err.read())
    if check and result.returncode != 0:
        raise GuiTestFailure('%s failed (%d): %s%s' % (' '.join(command), result.returncode,
                                                       result.stdout, result.stderr))
    return result


def stop_wineserver(config, prefix, timeout=30):
    env = wine_environment(prefix)
    run_bounded([config['wineserver'], '-k'], env, timeout, check=False)
    run_bounded([config['wineserver'], '-w'], env, timeout, check=False)


def make_template(config):
    """A fresh prefix with the X11 driver settings, its wineserver stopped."""
    template = config['template']
    stop_wineserver(config, template)
    shutil.rmtree(template, ignore_errors=True)
    os.makedirs(os.path.dirname(template), exist_ok=True)
    env = wine_environment(template)
    run_bounded([config['wine64'], 'wineboot', '-i'], env, 240)
    for name in ('Managed', 'Decorated'):
        run_bounded([config['wine64'], 'reg', 'add', X11_DRIVER_KEY, '/v', name, '/d', 'N', '/f'], env, 60)
    stop_wineserver(config, template)
    print('GUI prefix template ready: %s' % template)


def remove_template(config):
    """The template and what failed tests left, once the run is over."""
    stop_wineserver(config, config['template'])
    shutil.rmtree(config['template'], ignore_errors=True)
    print('GUI prefix template removed: %s' % config['template'])


class Window:
    """What guidriver's info command tells about a window."""

    def __init__(self, hwnd, fields):
        self.hwnd = hwnd
        self.fields = fields

    def __getitem__(self, key):
        return self.fields[key]

    def rect(self):
        """Left, top, width, height on the screen."""
        return tuple(int(v) for v in self.fields['rect'].split(','))

    def client(self):
        """Client area origin on the screen and its size: left, top, width, height."""
        return tuple(int(v) for v in self.fields['client'].split(','))

    def style(self):
        return int(self.fields['style'], 16)


def parse_fields(text):
    """KEY=VALUE lines; a "quoted" value is unescaped."""
    fields = {}
    for line in text.splitlines():
        key, _, value = line.partition('=')
        fields[key] = unquote(value)
    return fields


def unquote(value):
    if len(value) < 2 or value[0] != '"' or value[-1] != '"':
        return value
    out, i, body = [], 0, value[1:-1]
    while i < len(body):
        if body[i] == '\\' and body[i + 1] == 'x':
            out.append(chr(int(body[i + 2:i + 4], 16)))
            i += 4
        elif body[i] == '\\':
            out.append(body[i + 1])
            i += 2
        else:
            out.append(body[i])
            i += 1
    return ''.join(out)


def parse_records(text, kind):
    """Lines "KIND name=value name="quoted value" ..." as dictionaries."""
    records = []
    for line in text.splitlines():
        if not line.startswith(kind + ' '):
            continue
        record, rest = {}, line[len(kind) + 1:]
        while rest:
            name, _, rest = rest.partition('=')
            if rest.startswith('"'):
                end = 1
                while rest[end] != '"':
                    end += 2 if rest[end] == '\\' else 1
                record[name] = unquote(rest[:end + 1])
                rest = rest[end + 2:]
            else:
                value, _, rest = rest.partition(' ')
                record[name] = value
        records.append(record)
    return records


class GuiSession:
    """One test's X server, prefix and program; a context manager that stops
    everything it started, in order: the prefix's wineserver (and with it
    every Windows process), then the X server."""

    def __init__(self, config, name):
        self.config = config
        self.name = name
        self.work = os.path.join(config['work'], name)
        self.prefix = os.path.join(self.work, 'prefix')
        self.xvfb = None
        self.display = None
        self.app = None
        self.app_log = None
        self.helpers = []

    # -- start and stop ---------------------------------------------------

    def __enter__(self):
        try:
            self._stop_leftovers()
            shutil.rmtree(self.work, ignore_errors=True)
            os.makedirs(self.work)
            self._start_xvfb()
            run_bounded(['cp', '-a', self.config['template'], self.prefix], os.environ, 120)
            self.env = wine_environment(self.prefix, self.display)
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, kind, value, trace):
        if kind is not None and self.xvfb is not None:
            self._screenshot_of_failure()
        if os.path.isdir(self.prefix):
            try:
                stop_wineserver(self.config, self.prefix)
            except subprocess.TimeoutExpired:
                print('wineserver of %s did not stop in time' % self.prefix)
        if self.app is not None:
            self._stop_process(self.app)
        # After the wineserver: it may hold a helper's pty as its controlling
        # terminal.
        for helper in self.helpers:
            self._stop_process(helper)
        if self.app_log is not None:
            self.app_log.close()
        if self.xvfb is not None:
            self._stop_process(self.xvfb)
        if kind is None:
            shutil.rmtree(self.work, ignore_errors=True)
        else:
            if not os.environ.get('QUORVANE_GUI_KEEP_PREFIX'):
                shutil.rmtree(self.prefix, ignore_errors=True)
            print('logs kept for inspection: %s' % self.work)
        return False

    def _screenshot_of_failure(self):
        path = os.path.join(self.config['screenshots'], 'failed-%s.png' % self.name)
        try:
            os.makedirs(self.config['screenshots'], exist_ok=True)
            run_bounded(['import', '-display', self.display, '-window', 'root', path], os.environ, 30)
            print('screen at the failure: %s' % path)
        except (GuiTestFailure, subprocess.TimeoutExpired):
            pass

    def _stop_leftovers(self):
        """What a killed earlier run of this test left running."""
        if os.path.isdir(self.prefix):
            stop_wineserver(self.config, self.prefix)
        try:
            with open(os.path.join(self.work, 'xvfb.pid')) as pid_file:
                pid = int(pid_file.read())
            with open('/proc/%d/cmdline' % pid, 'rb') as cmdline:
                if cmdline.read().split(b'\0')[0].endswith(b'Xvfb'):
                    os.kill(pid, signal.SIGTERM)
        except (OSError, ValueError):
            pass

    @staticmethod
    def _stop_process(process):
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(10)

    def _start_xvfb(self):
        for number in range(90, 190):
            if os.path.exists('/tmp/.X%d-lock' % number) or os.path.exists('/tmp/.X11-unix/X%d' % number):
                continue
            log = open(os.path.join(self.work, 'xvfb.log'), 'w')
            xvfb = subprocess.Popen(['Xvfb', ':%d' % number, '-screen', '0', '1024x768x24', '-nolisten', 'tcp'],
                                    stdout=log, stderr=subprocess.STDOUT)
            log.close()
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and xvfb.poll() is None:
                if os.path.exists('/tmp/.X11-unix/X%d' % number):
                    self.xvfb, self.display = xvfb, ':%d' % number
                    with open(os.path.join(self.work, 'xvfb.pid'), 'w') as pid_file:
                        pid_file.write('%d\n' % xvfb.pid)
                    return
                time.sleep(0.05)
            self._stop_process(xvfb)  # lost the display to another server: try the next
        raise GuiTestFailure('no free X display for Xvfb')

    # -- the program ------------------------------------------------------

    def settings_path(self):
        """Where the program's settings file lands: the prefix's Windows folder."""
        return os.path.join(self.prefix, 'drive_c', 'windows', 'KORVIN.INI')

    def start_app(self, cwd=None):
        """Starts the program (again after it has ended, to see what it kept);
        CWD (a Linux path) becomes its current folder, where its file chooser
        opens first."""
        if self.app_log is not None:
            self.app_log.close()
        self.app_log = open(os.path.join(self.work, 'app.log'), 'a')
        self.app = subprocess.Popen([self.config['wine64'], self.config['app']], env=self.env, cwd=cwd,
                                    stdin=subprocess.DEVNULL, stdout=self.app_log, stderr=subprocess.STDOUT)

    def drive_c(self, *parts):
        """A path on the prefix's drive C: (C:\\A\\B is drive_c('A', 'B'))."""
        return os.path.join(self.prefix, 'drive_c', *parts)

    def wine(self, *args, timeout=60, check=True):
        """Runs a Windows program of the prefix (reg, cmd, ...) to its end; its
        result (with check, a failure ends the test)."""
        return run_bounded([self.config['wine64']] + [str(a) for a in args], self.env, timeout, check)

    def start_helper(self, name, command):
        """Starts a native program beside the test (the device simulator, say),
        its output in WORK/NAME.log; stopped by its PID at the end of the
        session, after the wineserver, if it is still running."""
        log = open(os.path.join(self.work, name + '.log'), 'w')
        process = subprocess.Popen([str(c) for c in command], stdin=subprocess.DEVNULL, stdout=log,
                                   stderr=subprocess.STDOUT)
        log.close()
        self.helpers.append(process)
        return process

    def stop_helper(self, process, timeout=10):
        """Ends a helper with SIGTERM (if it has not ended) and returns its exit status."""
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
        try:
            return process.wait(timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(10)
            raise GuiTestFailure('helper %s did not stop on SIGTERM' % process.args[0])

    def wait_helper(self, process, timeout):
        """A helper's exit status once it has ended by itself."""
        try:
            return process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise GuiTestFailure('%s is still running after %d s' % (process.args[0], timeout))

    def helper_log(self, name):
        with open(os.path.join(self.work, name + '.log')) as log:
            return log.read()

    def app_running(self):
        return self.app is not None and self.app.poll() is None

    def wait_app_exit(self, timeout=15):
        """The program's exit code, once it has ended by itself."""
        try:
            return self.app.wait(timeout)
        except subprocess.TimeoutExpired:
            raise GuiTestFailure('the program is still running after %d s' % timeout)

    # -- the driver -------------------------------------------------------

    def driver(self, *args, timeout=30, check=True):
        """Runs one guidriver command; its KEY=VALUE answer and its full text."""
        result = run_bounded([self.config['wine64'], self.config['driver']] + [str(a) for a in args],
                             self.env, timeout, check=False)
        if check and result.returncode != 0:
            raise GuiTestFailure('guidriver %s: %s%s' % (' '.join(str(a) for a in args), result.stdout,
                                                          result.stderr))
        return parse_fields(result.stdout), result.stdout

    def find_window(self, window_class=None, title=None, pid=None, owner=None, timeout_ms=10000):
        """Waits for a visible top-level window that matches; its details."""
        args = ['find', '--timeout', timeout_ms]
        if window_class is not None:
            args += ['--class', window_class]
        if title is not None:
            args += ['--title', title]
        if pid is not None:
            args += ['--pid', pid]
        if owner is not None:
            args += ['--owner', owner]
        found, _ = self.driver(*args, timeout=timeout_ms / 1000 + 30)
        return self.info(found['hwnd'])

    def info(self, hwnd):
        fields, _ = self.driver('info', hwnd)
        return Window(hwnd, fields)

    def controls(self, hwnd):
        _, text = self.driver('controls', hwnd)
        return parse_records(text, 'control')

    def menu_items(self, hwnd):
        _, text = self.driver('menu', hwnd)
        return parse_records(text, 'item')

    def wait_gone(self, hwnd, timeout_ms=10000):
        self.driver('gone', hwnd, '--timeout', timeout_ms, timeout=timeout_ms / 1000 + 30)

    def window_exists(self, hwnd):
        fields, _ = self.driver('info', hwnd, check=False)
        return fields.get('visible') == '1'

    def click(self, hwnd, control_id, gone_ms=None, times=1):
        """Clicks the control (TIMES times in a row); with gone_ms, waits up to
        that long for the window to go and returns how many milliseconds
        that took from the click."""
        args = ['click', hwnd, control_id, '--times', times]
        if gone_ms is None:
            self.driver(*args)
            return None
        fields, _ = self.driver(*(args + ['--gone', gone_ms]), timeout=gone_ms / 1000 + 30)
        return int(fields['gone_ms'])

    def text(self, hwnd, control_id):
        """The control's text as its own procedure gives it (edit fields too)."""
        fields, _ = self.driver('text', hwnd, control_id)
        return fields['text']

    def set_text(self, hwnd, control_id, text):
        """Leaves TEXT in the control's edit field, as typing it would."""
        self.driver('settext', hwnd, control_id, text)

    def font(self, hwnd, control_id):
        """The stock font the control uses (SYSTEM_FIXED_FONT, ...) or 'none'."""
        fields, _ = self.driver('font', hwnd, control_id)
        return fields['stock']

    def combo(self, hwnd, control_id):
        """A combo box's selected index (-1: none) and its items' texts."""
        fields, text = self.driver('combo', hwnd, control_id)
        return int(fields['selected']), [item['text'] for item in parse_records(text, 'item')]

    def select(self, hwnd, control_id, index):
        """Chooses item INDEX of a combo box as a user would: the parent has
        been told (CBN_SELENDOK, CBN_SELCHANGE) when this returns."""
        self.driver('select', hwnd, control_id, index)

    def wait_text(self, hwnd, control_id, text, differs=False, timeout_ms=10000):
        """Waits until the control's text is TEXT (or, with differs, is not); the text then."""
        args = ['waittext', hwnd, control_id, text, '--timeout', timeout_ms]
        if differs:
            args.append('--differs')
        fields, _ = self.driver(*args, timeout=timeout_ms / 1000 + 30)
        return fields['text']

    def start_watch(self, hwnd, control_id, timeout_ms=60000):
        """Starts reading the control's text every 10 ms, in the background,
        until its window is gone or disabled; finish_watch gives the result."""
        path = os.path.join(self.work, 'watch-%s-%s.out' % (hwnd, control_id))
        out = open(path, 'w')
        process = subprocess.Popen([self.config['wine64'], self.config['driver'], 'watch', str(hwnd),
                                    str(control_id), '--timeout', str(timeout_ms)],
                                   env=self.env, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        out.close()
        self.helpers.append(process)
        return process, path, timeout_ms

    def finish_watch(self, watch):
        """The texts the watched control showed, in order (each change once),
        and how the watch ended: 'gone', 'disabled' or 'timeout'."""
        process, path, timeout_ms = watch
        try:
            process.wait(timeout_ms / 1000 + 30)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            raise GuiTestFailure('the watch of %s did not end' % path)
        with open(path) as out:
            text = out.read()
        samples = [record['text'] for record in parse_records(text, 'sample')]
        return samples, parse_fields(text).get('end', 'no end: %s' % text)

    def file_name_field(self, chooser):
        """The identifier of the open-file chooser's file-name field."""
        present = set(int(c['id']) for c in self.controls(chooser))
        for field in CHOOSER_FILE_NAME_FIELDS:
            if field in present:
                return field
        raise GuiTestFailure('the chooser has no file-name field')

    def choose_file(self, chooser, name):
        """Types NAME into the open-file chooser's file-name field and presses Open."""
        self.set_text(chooser, self.file_name_field(chooser), name)
        self.click(chooser, 1)

    def command(self, hwnd, command_id):
        self.driver('command', hwnd, command_id)

    def close_box(self, hwnd):
        """What the caption's close box sends."""
        self.driver('syscommand', hwnd, 'close')

    def key(self, hwnd, name):
        """esc, enter, alt+f4 or alt+LETTER to the window with the focus."""
        self.driver('key', hwnd, name)

    # -- the prefix -------------------------------------------------------

    def stop_wineserver(self):
        """Ends every Windows process of the prefix; the next one starts a
        new wineserver, which builds the device maps afresh."""
        stop_wineserver(self.config, self.prefix)

    def keep_wineserver(self):
        """A persistent wineserver: values written into volatile registry keys
        (the device maps) last until the session ends, which stops it."""
        run_bounded([self.config['wineserver'], '-p'], self.env, 30)

    # -- screenshots ------------------------------------------------------

    def screenshot(self, name, window):
        """The window as it is on the screen, saved as SCREENSHOTS/NAME.png."""
        left, top, width, height = window.rect()
        folder = self.config['screenshots']
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, name + '.png')
        env = dict(self.env)
        run_bounded(['import', '-display', self.display, '-window', 'root',
                     '-crop', '%dx%d+%d+%d' % (width, height, left, top), '+repage', path], env, 30)
        return path


def expect_equal(actual, expected, what):
    if actual != expected:
        raise GuiTestFailure('%s: expected %r, got %r' % (what, expected, actual))


def expect_true(condition, what):
    if not condition:
        raise GuiTestFailure(what)


def stop_on_signal(number, frame):
    """CTest's timeout and Ctrl+C end the test through its clean-up."""
    raise SystemExit('stopped by signal %d' % number)


def run_cases(cases, argv):
    """Command line of a test script: CONFIG CASE (or --list)."""
    signal.signal(signal.SIGTERM, stop_on_signal)
    signal.signal(signal.SIGHUP, stop_on_signal)
    if len(argv) == 2 and argv[1] == '--list':
        print('\n'.join(sorted(cases)))
        return 0
    if len(argv) != 3 or argv[2] not in cases:
        print('usage: %s CONFIG CASE   (cases: %s)' % (argv[0], ', '.join(sorted(cases))))
        return 2
    config = load_config(argv[1])
    try:
        cases[argv[2]](config)
    except (GuiTestFailure, subprocess.TimeoutExpired) as failure:
        print('FAILED: %s' % failure)
        return 1
    print('passed')
    return 0


if __name__ == '__main__':
    if len(sys.argv) == 3 and sys.argv[1] == 'make-template':
        make_template(load_config(sys.argv[2]))
    elif len(sys.argv) == 3 and sys.argv[1] == 'remove-template':
        remove_template(load_config(sys.argv[2]))
    else:
        print(__doc__)
        sys.exit(2)
