#!/usr/bin/python3
"""The browser page in Chromium against the Kit as a USB gadget on a real kernel: Chromium runs as
an ordinary user, finds the Kit through the managed policies with no chooser, and the page is
driven through its accessible names while the gadget says what reached the board. Run inside
the rig's VM by scripts/web-rig-guest, which sets up udev, the policies and the server.

usage: rig_test.py --url URL [--run DIR] [--screenshots DIR] [--cgroup DIR]
Exit status 0 when every check passed, 1 otherwise."""
import argparse
import grp
import json
import os
import pwd
import queue
import subprocess
import sys
import threading
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cdp import CHROMIUM, Chromium, PageError, wait  # noqa: E402

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), '..', '..'))
USER, GROUP = 'nobody', 'nogroup'
VERSION = 'Firmware Version: K1.07'
LINE = 'COM1 : 19200,8,N,1,fN'
UNPLUGGED = 'The KIT is unpluged or reset!'
# The reports the desktop sends, as the gadget records them: report id 0, the length, the
# command, and the unused bytes holding their own index.
LED_STOP = bytes([0, 3, 0x1B, 0x4C, 0x00, 5, 6, 7, 8])
LED_FLASHING = bytes([0, 3, 0x1B, 0x4C, 0x01, 5, 6, 7, 8])
CLOSE = bytes([0, 3, 0x1B, 0x54, 0x74, 5, 6, 7, 8])


class GadgetKit:
    """build/palvex-gadget-kit, driven on its standard input; its answers are lines."""

    def __init__(self, log_path):
        self.log = open(log_path, 'w')
        self.process = subprocess.Popen([os.path.join(ROOT, 'build', 'palvex-gadget-kit')],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True, bufsize=1)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        self._answer('ready', 30)

    def _read(self):
        for line in self.process.stdout:
            self.log.write(line)
            self.log.flush()
            self.lines.put(line.rstrip('\n'))
        self.lines.put(None)

    def _answer(self, prefix, timeout=10):
        deadline = time.monotonic() + timeout
        while True:
            try:
                line = self.lines.get(timeout=max(0.01, deadline - time.monotonic()))
            except queue.Empty:
                raise PageError(f'the gadget Kit gave no "{prefix}" line in {timeout} s')
            if line is None:
                raise PageError('the gadget Kit ended')
            if line.startswith(prefix):
                return line

    def say(self, command):
        self.process.stdin.write(command + '\n')
        self.process.stdin.flush()

    def status(self):
        self.say('status')
        return {k: int(v) for k, v in (w.split('=') for w in self._answer('plugged=').split())}

    def received(self):
        """The output reports the board got (bytes each) and the serial bytes."""
        self.say('received')
        fields = dict(w.split('=', 1) for w in self._answer('reports=').split())
        reports = [bytes.fromhex(r) for r in fields['reports'].split(',') if r]
        return reports, bytes.fromhex(fields['serial'])

    def quit(self):
        self.say('quit')
        self.process.stdin.close()
        self.process.wait(30)
        self.log.close()


def usb_payload(reports):
    """The user data the board got on USB: each report's length byte says how much it holds."""
    return b''.join(r[2:2 + r[1]] for r in reports if len(r) >= 2)


class UserChromium(Chromium):
    """Chromium as the seat's user would start it: not root, with the dialout group, a home of its
    own, in a cgroup so that its peak memory can be read."""

    def __init__(self, run, log_path, cgroup=None):
        home = os.path.join(run, 'home')
        os.makedirs(home, exist_ok=True)
        os.chown(home, *_ids())
        self.profile = os.path.join(home, 'profile')
        self.cgroup = cgroup
        # The guest is a chroot, where the kernel refuses the user namespaces Chromium's
        # sandbox is made of, so it runs unsandboxed (the user is still not root).
        args = ['setpriv', f'--reuid={USER}', f'--regid={GROUP}', '--groups=dialout',
                '--inh-caps=-all', '--', 'env', '-i', f'HOME={home}', 'PATH=/usr/bin:/bin',
                'LANG=C.UTF-8', 'TMPDIR=/tmp', CHROMIUM, '--headless=new', '--no-sandbox',
                '--remote-debugging-port=0', f'--user-data-dir={self.profile}',
                '--no-first-run', '--no-default-browser-check', '--window-size=1280,900',
                'about:blank']
        self.log = open(log_path, 'w')
        started = time.monotonic()

        def join_cgroup():
            if cgroup:
                with open(os.path.join(cgroup, 'cgroup.procs'), 'w') as procs:
                    procs.write(str(os.getpid()))
        self.process = subprocess.Popen(args, stdout=self.log, stderr=subprocess.STDOUT,
                                        preexec_fn=join_cgroup)
        # The kernel keeps the cgroup's peak with the page cache in it (Chromium's own files
        # among it); its anonymous memory, the part Chromium itself holds, is sampled.
        self.peak_anon = 0
        if cgroup:
            threading.Thread(target=self._sample_anon, daemon=True).start()
        self.connect(90)
        self.start_seconds = time.monotonic() - started
        self.send('DOM.enable')

    def _sample_anon(self):
        while self.process.poll() is None:
            with open(os.path.join(self.cgroup, 'memory.stat')) as stat:
                anon = next(int(line.split()[1]) for line in stat if line.startswith('anon '))
            self.peak_anon = max(self.peak_anon, anon)
            time.sleep(0.5)

    def memory(self):
        """What Chromium's processes held at most, in MiB: all the kernel charged them, and
        the anonymous part of it; None without a cgroup."""
        if not self.cgroup:
            return None
        with open(os.path.join(self.cgroup, 'memory.peak')) as peak:
            return (f'peak memory {int(peak.read()) / 2**20:.0f} MiB with the page cache, '
                    f'{self.peak_anon / 2**20:.0f} MiB of it anonymous (sampled)')

    def close(self):
        self.ws.close()
        self.process.terminate()
        try:
            self.process.wait(20)
        except subprocess.TimeoutExpired:
            self.process.kill()
        self.log.close()


def _ids():
    return pwd.getpwnam(USER).pw_uid, grp.getgrnam(GROUP).gr_gid


class RigTest:
    def __init__(self, options):
        self.options = options
        self.url = options.url
        self.kit = None
        self.b = None
        self.passed = []
        self.failed = []

    # -- the page, by accessible name -------------------------------------------------------
    def named(self, name, role=None):
        """The remote object of the one element the accessibility tree calls `name`."""
        document = self.b.send('DOM.getDocument', depth=0)['root']['nodeId']
        query = {'nodeId': document, 'accessibleName': name}
        if role:
            query['role'] = role
        nodes = [n for n in self.b.send('Accessibility.queryAXTree', **query)['nodes']
                 if not n.get('ignored') and 'backendDOMNodeId' in n]
        # Only what a person can see counts (a closed dialog keeps its button in the tree).
        shown = []
        for node in nodes:
            element = self.b.send('DOM.resolveNode',
                                  backendNodeId=node['backendDOMNodeId'])['object']['objectId']
            if self.b.send('Runtime.callFunctionOn', objectId=element, returnByValue=True,
                           functionDeclaration='function () { return this.checkVisibility(); }'
                           )['result'].get('value'):
                shown.append(element)
        if len(shown) != 1:
            raise PageError(f'{len(shown)} elements in sight are named "{name}"')
        return shown[0]

    def on(self, name, function, role=None):
        result = self.b.send('Runtime.callFunctionOn', objectId=self.named(name, role),
                             functionDeclaration=function, returnByValue=True)
        if 'exceptionDetails' in result:
            raise PageError(f'{name}: {result["exceptionDetails"]["text"]}')
        return result['result'].get('value')

    def click(self, name, role=None):
        x, y = self.on(name, '''function () {
            this.scrollIntoView({block: 'center'});
            const r = this.getBoundingClientRect();
            return [r.x + r.width / 2, r.y + r.height / 2];
        }''', role)
        self.b.send('Input.dispatchMouseEvent', type='mouseMoved', x=x, y=y)
        for kind in ('mousePressed', 'mouseReleased'):
            self.b.send('Input.dispatchMouseEvent', type=kind, x=x, y=y, button='left',
                        clickCount=1)

    def shows(self, text):
        """Whether the page shows `text` (as a person sees it: rendered, not hidden)."""
        return self.b.js(f'document.body.innerText.includes({json.dumps(text)})')

    def wait_shown(self, text, timeout=20):
        wait(lambda: self.shows(text), timeout, f'the page to show "{text}"')

    def view_text(self, name):
        """The rows a traffic view shows, joined."""
        return self.on(name, '''function () {
            return [...this.querySelectorAll('.row:not(.probe)')]
                .sort((a, b) => parseFloat(a.style.top) - parseFloat(b.style.top))
                .map((r) => r.textContent).join('\\n');
        }''')

    def send_text(self, channel, text):
        self.click(f'Text to send on {channel}')
        self.on(f'Text to send on {channel}', 'function () { this.select(); }')  # typed over
        # The first keys one by one, the rest as one input event, as a paste gives it: a key
        # event per character costs the emulated guest a second for every ten.
        self.b.type(text[:8])
        self.b.send('Input.insertText', text=text[8:])
        self.click(f'Send on {channel}')

    def wait_kit(self, condition, timeout, what):
        return wait(lambda: condition(self.kit.status()), timeout, what)

    # -- the checks --------------------------------------------------------------------------
    def check_access(self):
        """The user can open the Kit's nodes once udev has handled them: the hidraw node by the
        rule's uaccess tag, the tty through dialout."""
        def usable(node):
            return subprocess.run(['setpriv', f'--reuid={USER}', f'--regid={GROUP}',
                                   '--groups=dialout', '--', 'test', '-r', node, '-a', '-w',
                                   node]).returncode == 0

        def nodes():
            found = [f'/dev/{n}' for n in os.listdir('/sys/class/hidraw')][:1]
            found += [f'/dev/{n}' for n in os.listdir('/sys/class/tty')
                      if n.startswith('ttyACM')][:1]
            return found if len(found) == 2 else None
        hidraw, tty = wait(nodes, 20, 'the Kit\'s hidraw and tty nodes')
        # udevadm settle does nothing in a chroot: wait for what udev does instead.
        try:
            wait(lambda: usable(hidraw) and usable(tty), 20, f'{USER} to be able to open them')
        except PageError:
            listing = subprocess.run(['ls', '-l', hidraw, tty], capture_output=True, text=True)
            raise PageError(f'{USER} cannot open the Kit\'s nodes: {listing.stdout.strip()}')
        tags = subprocess.run(['udevadm', 'info', '--query=property', hidraw],
                              capture_output=True, text=True).stdout
        if ':uaccess:' not in tags:
            raise PageError(f'{hidraw} is not tagged uaccess: {tags}')

    def check_found(self):
        """Found with no chooser: the version asked for and shown, the line found on COM1."""
        started = time.monotonic()
        self.b.send('Page.navigate', url=self.url)
        self.b.wait_js('document.readyState === "complete"', 90, 'the page to load')
        loaded = time.monotonic()
        self.b.wait_js("(async () => (await (await import('./page.js')).ready) !== null)()", 60,
                       'the core to start')
        running = time.monotonic()
        # Nothing is clicked but the tab: a chooser would wait for a click on "Connect the Kit".
        self.click('Demo and Test', 'tab')
        self.wait_shown(VERSION, 60)
        print(f'   page loaded in {loaded - started:.1f} s, core running {running - loaded:.1f} s '
              f'later, version shown {time.monotonic() - running:.1f} s after that')
        self.wait_shown('Connected', 30)
        self.wait_shown(LINE, 5)
        if self.kit.status()['version_requests'] < 1:
            raise PageError('the board got no version request')

    def check_led(self):
        """LED Stop and LED Flashing give exactly the desktop's reports at the board; the one
        already chosen is chosen last, so that both clicks change something."""
        order = [('LED Stop', LED_STOP, 0), ('LED Flashing', LED_FLASHING, 1)]
        if self.on('LED Stop', 'function () { return this.checked; }'):
            order.reverse()
        before = len(self.kit.received()[0])
        for count, (name, _, led) in enumerate(order, 1):
            self.click(name)
            self.wait_kit(lambda s: s['output_reports'] >= before + count and s['led'] == led,
                          10, f'the {name} command at the board')
        reports = self.kit.received()[0][before:]
        if reports != [report for _, report, _ in order]:
            raise PageError(f'the board got {[r.hex() for r in reports]}')

    def check_traffic(self, channel, view):
        """Text typed and sent reaches the board whole, the board's echo and its own text come
        back into the view, as text (markup in it stays text)."""
        # As much as one Send takes: ten reports on USB.
        sent = f'{channel} <b>bold</b> & "quoted" '.ljust(64, '.')
        board = f'board on {channel} <i>x</i>'
        self.click(f'Clear {channel}')
        usb = channel == 'USB'
        reports, serial = self.kit.received()
        before = len(usb_payload(reports)) if usb else len(serial)
        self.send_text(channel, sent)

        def arrived():
            reports, serial = self.kit.received()
            got = usb_payload(reports)[before:] if usb else serial[before:]
            return got if len(got) >= len(sent) else None
        got = wait(arrived, 20, f'the text at the board on {channel}')
        if got != sent.encode():
            raise PageError(f'the board got {got!r} on {channel}')
        self.kit.say(f'{"usb" if usb else "serial"} {board}')
        wait(lambda: self.view_text(view) == sent + board, 20,
             f'the echo and the board\'s text in "{view}"')
        if self.on(view, 'function () { return this.querySelector("b, i") !== null; }'):
            raise PageError(f'the board\'s bytes became markup in "{view}"')

    def check_replug(self):
        """Unplugged: the notice, no version, the line lost; plugged in again: the version and
        the line again, and both channels work."""
        self.kit.say('unplug')
        self.wait_shown(UNPLUGGED, 20)
        self.wait_shown('Firmware Version: N/A', 20)
        self.wait_shown('Disconnected', 20)
        self.wait_shown('The serial port COM1', 20)
        self.wait_shown('was disconnected.', 5)
        self.screenshot('web-rig-unplugged')
        self.click('OK')
        self.kit.say('plug')
        self.wait_shown(VERSION, 60)
        self.wait_shown('Connected', 30)
        self.wait_shown(LINE, 5)
        self.check_traffic('RS232', 'Received Data From RS232')
        self.check_traffic('USB', 'Received Data From USB')

    def check_close(self):
        """Closing the page hands the close command to the browser, which delivers it."""
        before = self.kit.status()['close_commands']
        self.b.send('Page.close')
        self.wait_kit(lambda s: s['close_commands'] == before + 1, 10,
                      'the close command at the board')
        if self.kit.received()[0][-1] != CLOSE:
            raise PageError(f'the last report was {self.kit.received()[0][-1].hex()}')

    def screenshot(self, name):
        path = os.path.join(self.options.screenshots, f'{name}.png')
        self.b.screenshot(path)
        print(f'   screenshot {os.path.relpath(path, ROOT)}')

    def run(self):
        started = time.monotonic()
        self.kit = GadgetKit(os.path.join(self.options.run, 'gadget-kit.log'))
        checks = [
            ('the user can open the Kit\'s nodes', self.check_access, True),
            ('Chromium starts as the user', self.start_browser, True),
            ('the Kit and its line found with no chooser', self.check_found, True),
            ('LED commands exact at the board', self.check_led, False),
            ('text both ways on USB', lambda: self.check_traffic(
                'USB', 'Received Data From USB'), False),
            ('text both ways on RS232', lambda: self.check_traffic(
                'RS232', 'Received Data From RS232'), False),
            ('screenshot with the version and traffic',
             lambda: self.screenshot('web-rig-test'), False),
            ('unplug and replug seen on both channels', self.check_replug, False),
            ('the close command when the page closes', self.check_close, False),
        ]
        try:
            for name, check, essential in checks:
                began = time.monotonic()
                try:
                    check()
                    self.passed.append(name)
                    print(f'ok: {name} ({time.monotonic() - began:.0f} s)', flush=True)
                except Exception as error:  # noqa: BLE001 (every failure is reported)
                    self.failed.append(name)
                    print(f'FAILED: {name}: {error}', flush=True)
                    if not isinstance(error, PageError):
                        traceback.print_exc()
                    if self.b is not None:
                        for message in self.b.errors():
                            print(f'   page error: {message}')
                    if essential:
                        break
        finally:
            if self.b is not None:
                memory = self.b.memory() or 'memory not measured (no cgroup)'
                self.b.close()
                print(f'   Chromium: started in {self.b.start_seconds:.1f} s, {memory}')
            self.kit.quit()
        not_run = len(checks) - len(self.passed) - len(self.failed)
        print(f'rig test: {time.monotonic() - started:.0f} s'
              + (f', {not_run} checks not run after a failure' if not_run else ''))
        print(f'{len(self.passed)} passed, {len(self.failed) + not_run} failed')
        return 0 if not self.failed and not not_run else 1

    def start_browser(self):
        self.b = UserChromium(self.options.run, os.path.join(self.options.run, 'chromium.log'),
                              self.options.cgroup)
        print(f'   Chromium started in {self.b.start_seconds:.1f} s')
        if self.options.cgroup:
            # Every one of its processes is the user's, with dialout and no more rights.
            uid, gid = _ids()
            dialout = grp.getgrnam('dialout').gr_gid
            with open(os.path.join(self.options.cgroup, 'cgroup.procs')) as procs:
                pids = procs.read().split()
            if not pids:
                raise PageError('Chromium\'s processes are not in their cgroup')
            for pid in pids:
                try:
                    with open(f'/proc/{pid}/status') as status:
                        fields = dict(line.split(':', 1) for line in status)
                except FileNotFoundError:
                    continue  # a helper that has ended
                uids = {int(u) for u in fields['Uid'].split()}
                groups = {int(g) for g in fields['Groups'].split()}
                if uids != {uid} or int(fields['Gid'].split()[0]) != gid or groups != {dialout}:
                    raise PageError(f'Chromium\'s process {pid} runs as uids {uids}, '
                                    f'gid {fields["Gid"].split()[0]}, groups {groups}')


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--url', required=True)
    parser.add_argument('--run', default='/tmp/web-rig')
    parser.add_argument('--screenshots', default=os.path.join(ROOT, 'build', 'screenshots'))
    parser.add_argument('--cgroup')
    options = parser.parse_args()
    os.makedirs(options.run, exist_ok=True)
    os.makedirs(options.screenshots, exist_ok=True)
    return RigTest(options).run()


if __name__ == '__main__':
    sys.exit(main())
