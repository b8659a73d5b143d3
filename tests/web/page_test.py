#!/usr/bin/python3
"""Drives the browser page in headless Chromium against the in-page simulated Kit: what the user
sees and can do, with the mouse and with the keyboard only, in light and dark.

usage: page_test.py [--site DIR] [--serve SCRIPT] [--screenshots DIR]
Exit status 0 when every check passed, 1 otherwise."""
import argparse
import json
import os
import socket
import subprocess
import sys
import time
import traceback
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cdp import CTRL, SHIFT, Chromium, PageError, wait  # noqa: E402

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), '..', '..'))
VERSION = 'Firmware Version: K1.07'
LINE = 'COM1 : 19200,8,N,1,fN'
UNPLUGGED = 'The KIT is unpluged or reset!'


def core(body):
    """JavaScript run with the page's running core as `core`."""
    return f"(async () => {{ const core = await (await import('./page.js')).ready; {body} }})()"


def rows(channel):
    """The rows drawn in a channel's view, top to bottom."""
    return (f"[...document.querySelectorAll('#{channel} .row:not(.probe)')]"
            ".sort((a, b) => parseFloat(a.style.top) - parseFloat(b.style.top))"
            ".map((r) => r.textContent)")


def text(selector):
    return f"document.querySelector({json.dumps(selector)}).textContent"


def bytes_js(data):
    return f'new Uint8Array({json.dumps(list(data))})'


def free_port():
    with socket.socket() as probe:
        probe.bind(('127.0.0.1', 0))
        return probe.getsockname()[1]


def serve(command):
    """Starts `command(port)`, a server, and waits until it answers."""
    port = free_port()
    server = subprocess.Popen(command(port), stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    base = f'http://127.0.0.1:{port}/'

    def answers():
        try:
            return urllib.request.urlopen(base + 'index.html', timeout=2).status == 200
        except OSError:
            return False
    wait(answers, 20, f'the server on port {port}')
    return server, base


class PageTest:
    def __init__(self, browser, base, site, screenshots):
        self.b = browser
        self.base = base
        self.site = site
        self.screenshots = screenshots

    def open_sim(self, tab='demo'):
        self.b.open(self.base + 'index.html?sim')
        self.b.wait_js(core('return core !== null;'), 30, 'the core to start')
        self.b.wait_js(f'{text("#pane2")} === {json.dumps(VERSION)}', 15, 'the version')
        if tab == 'demo':
            self.b.click('#tab-demo')

    def expect(self, expression, expected):
        value = self.b.js(expression)
        if value != expected:
            raise PageError(f'{expression}\n  gave {value!r}\n  wanted {expected!r}')

    def box(self, wanted):
        """Waits for the message box, checks its texts and closes it with Enter on OK."""
        self.b.wait_js("document.querySelector('#box').open", 5, f'the box {wanted}')
        self.expect(f'[{text("#box-caption")}, {text("#box-text")}]', list(wanted))
        self.expect('document.activeElement.id', 'box-ok')
        self.b.key('Enter')
        self.b.wait_js("!document.querySelector('#box').open", 5, 'the box to close')

    def test_start_tabs_and_status(self):
        self.open_sim(tab=None)
        self.expect(f'[{text("#pane0")}, {text("#pane1")}, '
                    'document.querySelector("#pane1").title !== ""]', ['Connected', LINE, True])
        # ReadMe shows first, with the document our build made; nothing else is visible.
        self.expect('[...document.querySelectorAll("[role=tabpanel]")].map((p) => p.hidden)',
                    [False, True])
        self.b.wait_js("document.querySelector('#readme-doc').textContent.includes('Kit')", 10,
                       'the ReadMe')
        self.expect("document.querySelector('a[download]').getAttribute('download')",
                    'kitboard.bin')
        # The tablist's keys: arrows wrap, Home and End, and the focus follows the selection.
        self.b.click('#tab-readme')
        for key, tab in (('ArrowRight', 'tab-demo'), ('ArrowRight', 'tab-readme'),
                         ('End', 'tab-demo'), ('Home', 'tab-readme'), ('ArrowLeft', 'tab-demo')):
            self.b.key(key)
            self.expect('[document.activeElement.id, document.querySelector('
                        '"[aria-selected=true]").id, document.querySelector("#demo").hidden]',
                        [tab, tab, tab != 'tab-demo'])

    def test_led_send_and_code_page(self):
        self.open_sim()
        # Flashing is chosen at start, but nothing was sent: the board's LED is as it began.
        self.expect(f'[document.querySelector("#led-flashing").checked, {text("#sim-led")}]',
                    [True, 'stopped'])
        self.b.click('#led-flashing')
        self.b.wait_js(core('return core.sim.state().ledFlashing;'), 5, 'LED flashing')
        self.b.wait_js(f'{text("#sim-led")} === "flashing"', 5, 'the LED shown flashing')
        self.b.click('#led-stop')
        self.b.wait_js(core('return !core.sim.state().ledFlashing;'), 5, 'LED stop at the board')
        # Typed text goes out in Windows-1252; what it cannot hold goes as '?'.
        self.b.click('#usb .send-text')
        self.b.key('a', CTRL)
        self.b.type('Hi €ü✓')
        self.b.click('#usb .send')
        self.b.wait_js(f"{rows('usb')}.join('|') === 'K1.07Hi €ü?'", 5, 'the USB echo')
        self.expect(text('#usb .counter-shown'), 'Rx 11  Tx 6')
        self.expect(text('#usb .counter-spoken'), 'USB: 11 bytes received, 6 sent')
        # Up brings back what was sent; hex in the box sends raw bytes.
        self.b.key('a', CTRL)
        self.b.type('draft')
        self.b.click('#usb .send-text')
        self.b.key('ArrowUp')
        self.expect("document.querySelector('#usb .send-text').value", 'Hi €ü?')
        self.b.click('#usb .send-hex')
        self.expect("document.querySelector('#usb .send-text').value", '48 69 20 80 FC 3F')
        self.b.click('#usb .send-text')
        self.b.key('a', CTRL)
        self.b.type('1b5a 41')
        self.b.key('Enter')
        self.b.wait_js(f"{rows('usb')}.join('|').endsWith('?\u241bZA')", 5, 'the hex echo')
        self.b.key('a', CTRL)
        self.b.type('1G')
        self.b.key('Enter')
        self.box(('Warning', '"1G" is not hex. Give each byte as two hex digits, as in 1B 56 76.'))
        self.expect('document.activeElement.className', 'send-text')
        # RS232: 64 characters fill the box; with CR LF the send would be 66 bytes.
        self.b.click('#rs232 .send-text')
        self.b.key('a', CTRL)
        self.b.type('x' * 70)
        self.expect("document.querySelector('#rs232 .send-text').value.length", 64)
        self.b.click('#rs232 .line-end')
        self.b.key('End')
        self.b.key('Enter')
        self.expect("document.querySelector('#rs232 .line-end').value", 'crlf')
        self.b.click('#rs232 .send')
        self.box(('Warning', 'This send is 66 bytes with its line end; one send carries at '
                  'most 64. Nothing was sent.'))
        self.b.click('#rs232 .send-text')
        self.b.key('a', CTRL)
        self.b.type('Welcome back')
        self.b.click('#rs232 .send')
        self.b.wait_js(f"{rows('rs232')}.join('|') === 'Welcome back'", 5, 'the RS232 echo')
        self.expect(text('#rs232 .counter-shown'), 'Rx 14  Tx 14')

    def test_board_bytes_are_text(self):
        self.open_sim()
        hostile = b'<img src=x onerror="window.pwned=1"><b>bold</b>\x1b[8m\x07\x00\x7f\x81\r\n'
        self.b.js(core(f'core.sim.sendUsb({bytes_js(hostile)});'))
        shown = 'K1.07<img src=x onerror="window.pwned=1"><b>bold</b>\u241b[8m\u2407\u2421\ufffd'
        self.b.wait_js(f"{rows('usb')}.join('|') === {json.dumps(shown)}", 5, 'the bytes as text')
        self.expect("[document.querySelectorAll('img').length, document.querySelectorAll("
                    "'.row:not(.probe) *').length, window.pwned === undefined]", [0, 0, True])

    def test_view_tools(self):
        self.open_sim()
        two_lines = bytes_js(b'first line\r\nsecond')
        self.b.js(core(f'core.sim.sendUsb({two_lines});'))
        self.b.wait_js(f"{rows('usb')}.join('|') === 'K1.07first line|second'", 5, 'two rows')
        self.b.click('#usb .hex')
        self.expect(f"{rows('usb')}[0]",
                    '00000000  4B 31 2E 30 37 66 69 72 73 74 20 6C 69 6E 65 0D  K1.07first line.')
        self.b.click('#usb .hex')
        self.b.click('#usb .stamps')
        self.b.key('ArrowDown')
        self.b.key('Enter')
        self.b.wait_js(f"{rows('usb')}.every((r) => /^\\d\\d:\\d\\d:\\d\\d\\.\\d{{3}} /.test(r))",
                       5, 'a stamp on each row')
        self.b.click('#usb .stamps')
        self.b.key('Home')
        self.b.key('Enter')
        # Paused, bytes are counted and kept but not shown; resumed, they show in order.
        self.b.click('#usb .pause')
        self.b.js(core(f"core.sim.sendUsb({bytes_js(b' while PAUSED')});"))
        self.b.wait_js(f"{text('#usb .counter-shown')}.startsWith('Rx 36 ')", 5, 'the count')
        self.expect(f"{rows('usb')}.join('|')", 'K1.07first line|second')
        self.b.click('#usb .pause')
        self.b.wait_js(f"{rows('usb')}.join('|') === 'K1.07first line|second while PAUSED'", 5,
                       'the held bytes')
        # Find, from the keyboard: Ctrl+F in the view, Enter finds, case does not matter.
        self.b.click('#usb .view')
        self.b.key('f', CTRL)
        self.expect('document.activeElement.className', 'find-text')
        self.b.type('paused')
        self.b.key('Enter')
        self.expect("document.querySelector('#usb mark')?.textContent", 'PAUSED')
        self.b.key('a', CTRL)
        self.b.type('absent')
        self.b.key('Enter')
        self.expect(text('#usb .view-status'), 'Not found')
        self.b.key('Escape')
        self.expect('document.activeElement.className', 'view')
        # Copy without a selection takes every row held.
        self.b.send('Browser.grantPermissions', origin=self.base.rstrip('/'),
                    permissions=['clipboardReadWrite', 'clipboardSanitizedWrite'])
        self.b.key('a', CTRL)
        self.b.key('c', CTRL)
        self.b.wait_js("navigator.clipboard.readText().then((t) => "
                       "t === 'K1.07first line\\nsecond while PAUSED')", 5, 'the copy')

    def test_flood_stays_bounded(self):
        self.open_sim()
        # Numbered lines of 93 bytes, far more than a view keeps.
        send = core('''for (let i = FROM; i < FROM + COUNT; ++i) core.sim.sendUsb(new TextEncoder()
            .encode(String(i).padStart(5, '0') + ' ' + 'x'.repeat(85) + '\\r\\n'));''')
        view = "document.querySelector('#usb .view')"
        at_end = f'{view}.scrollTop + {view}.clientHeight >= {view}.scrollHeight - 2'
        top_row = (f"[...{view}.querySelectorAll('.row:not(.probe)')].filter((r) => "
                   f"parseFloat(r.style.top) >= {view}.scrollTop - 1).sort((a, b) => "
                   "parseFloat(a.style.top) - parseFloat(b.style.top))[0].textContent")
        self.b.js(send.replace('FROM', '0').replace('COUNT', '2000'))
        total = 5 + 2000 * 93
        self.b.wait_js(f"{text('#usb .counter-shown')} === 'Rx {total}  Tx 0'", 20, 'every byte')
        self.b.wait_js(f"{rows('usb')}.at(-1).startsWith('01999 ') && {at_end}", 5,
                       'the view at its end')
        drawn = self.b.js("document.querySelectorAll('#usb .row').length")
        if not 0 < drawn < 80:
            raise PageError(f'{drawn} rows drawn for a view of some 11 rows')
        # Scrolled up, the rows in sight stay there while more traffic comes, also when the
        # oldest rows are dropped to make room (180 more lines are sure to drop some).
        in_order = (f"[...{view}.querySelectorAll('.row:not(.probe)')].every((r, i, all) => "
                    "i === 0 || parseFloat(all[i - 1].style.top) < parseFloat(r.style.top))")
        for _ in range(20):
            self.b.wheel('#usb .view', -100)
        # Some 100 rows up, once the wheel's scrolling has come to rest (the same place for
        # five polls running).
        places = []

        def at_rest():
            places.append(self.b.js(f'{view}.scrollTop'))
            return len(places) >= 5 and len(set(places[-5:])) == 1 and places[-1]
        scrolled = wait(at_rest, 5, 'the wheel to rest')
        self.b.wait_js(f'Math.abs(parseInt({top_row}) - 1890) < 20', 5, 'the view scrolled up')
        in_sight = self.b.js(top_row)
        # Rows drawn bit by bit as the view scrolled still stand in the rows' order.
        self.expect(in_order, True)
        self.b.js(send.replace('FROM', '2000').replace('COUNT', '180'))
        self.b.wait_js(f"{text('#usb .counter-shown')} === 'Rx {total + 180 * 93}  Tx 0'", 5,
                       'the later lines')
        self.b.wait_js(f'{view}.scrollTop < {scrolled}', 5, 'the oldest rows dropped')
        self.expect(f'[{top_row}, {at_end}, {in_order}]', [in_sight, False, True])
        # Paused, the view takes every byte (so none piles up in the core) and keeps the newest
        # within the same bound; resumed, it shows them.
        self.b.click('#usb .pause')
        self.b.js(send.replace('FROM', '2180').replace('COUNT', '600'))
        total += 780 * 93
        self.b.wait_js(f"{text('#usb .counter-shown')} === 'Rx {total}  Tx 0'", 5, 'the count')
        self.b.click('#usb .pause')
        self.b.click('#usb .view')
        self.b.key('End')
        self.b.wait_js(f"{rows('usb')}.at(-1).startsWith('02779 ')", 5, 'the newest line')
        self.expect(f"{view}.scrollHeight / Math.ceil(document.querySelector('#usb .probe')"
                    f".getBoundingClientRect().height) <= {49152 // 93 + 3}", True)

    def test_unplug_replug_and_serial(self):
        self.open_sim()
        self.b.click('#sim-usb')
        self.b.wait_js(f'{text("#notice")} === {json.dumps(UNPLUGGED)}', 5, 'the notice')
        shown = time.monotonic()
        self.b.wait_js(f'{text("#pane2")} === "Firmware Version: N/A"', 5, 'the version gone')
        self.b.wait_js(f'{text("#notice")} === ""', 5, 'the notice to close')
        if time.monotonic() - shown < 1.8:
            raise PageError('the notice closed before its 2 seconds')
        self.b.click('#usb .send')
        self.box(('Warning', 'Please plug your board in !'))
        self.b.click('#sim-usb')
        self.b.wait_js(f'{text("#pane2")} === {json.dumps(VERSION)}', 5, 'the version again')
        self.b.click('#sim-serial')
        self.b.wait_js(f'[{text("#pane0")}, {text("#pane1")}].join("|") === '
                       '"Disconnected|COM port is not available !"', 10, 'the line gone')
        if self.b.js("document.querySelector('#box').open"):
            self.b.key('Enter')
        self.b.click('#sim-serial')
        self.b.wait_js(f'[{text("#pane0")}, {text("#pane1")}].join("|") === '
                       f'"Connected|{LINE}"', 10, 'the line again')

    def test_keyboard_only(self):
        self.open_sim()
        # Tab alone reaches every control shown (of a radio group, the one chosen).
        self.b.js("""window.reached = new Set();
            addEventListener('focusin', (event) => reached.add(event.target));
            document.activeElement.blur();""")
        controls = ("[...document.querySelectorAll('button, input, select, a[href], [tabindex]')]"
                    ".filter((e) => e.tabIndex >= 0 && e.checkVisibility() && "
                    "!(e.type === 'radio' && !e.checked))")
        for _ in range(self.b.js(f'{controls}.length') + 3):
            self.b.key('Tab')
        missed = self.b.js(f"{controls}.filter((e) => !reached.has(e)).map((e) => "
                           "e.getAttribute('aria-label') || e.textContent.trim() || e.id)")
        if missed:
            raise PageError(f'Tab never reached {missed}')
        # The radio pair is one stop; the arrow chooses Stop and sends it.
        self.b.js("document.querySelector('#led-flashing').focus()")
        self.b.key('ArrowRight')
        self.b.wait_js(core('return !core.sim.state().ledFlashing;'), 5, 'LED stop by arrow')
        self.b.js("document.querySelector('#usb .send').focus()")
        self.b.key('Enter')
        self.b.wait_js(f"{rows('usb')}.join('') === 'K1.07USB'", 5, 'Send by Enter')
        self.b.key('Tab')
        self.b.key(' ')
        self.b.wait_js(f"{rows('usb')}.length === 0", 5, 'Clear by Space')
        self.expect(text('#usb .counter-shown'), 'Rx 0  Tx 0')

    def test_accessibility_tree(self):
        self.open_sim()
        nodes = self.b.send('Accessibility.getFullAXTree')['nodes']
        roles = {}
        for node in nodes:
            label = node.get('name', {}).get('value')
            if label:
                roles.setdefault(label, set()).add(node['role']['value'])
        wanted = [('ReadMe', 'tab'), ('Demo and Test', 'tab'), ('LED Flashing', 'radio'),
                  ('LED Stop', 'radio'), ('Status bar', 'status')]
        for channel in ('USB', 'RS232'):
            wanted += [(f'Text to send on {channel}', 'textbox'),
                       (f'Send on {channel}', 'button'), (f'Clear {channel}', 'button'),
                       (f'Received Data From {channel}', 'log'),
                       (f'Show {channel} as Hex', 'button'), (f'Copy {channel}', 'button')]
        missing = [(n, r) for n, r in wanted if r not in roles.get(n, set())]
        # And nothing the keyboard can reach goes without a name.
        missing += [('(no name)', node['role']['value']) for node in nodes
                    if not node.get('ignored') and not node.get('name', {}).get('value') and
                    any(p['name'] == 'focusable' and p['value']['value']
                        for p in node.get('properties', []))]
        if missing:
            raise PageError(f'not in the accessibility tree: {missing}')

    def test_schemes_layout_and_screenshots(self):
        self.open_sim(tab=None)
        hello = bytes_js(b'Hello from the board\r\n')
        self.b.js(core(f'core.sim.sendSerial({hello});'))
        luminance = '''(() => {
            const channel = (c) => (c /= 255) <= 0.03928 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4;
            const lum = (css) => { const [r, g, b] = css.match(/\\d+/g).map(Number);
                return 0.2126 * channel(r) + 0.7152 * channel(g) + 0.0722 * channel(b); };
            const style = getComputedStyle(document.querySelector('#usb .view'));
            const bg = lum(style.backgroundColor), fg = lum(style.color);
            return [bg, (Math.max(bg, fg) + 0.05) / (Math.min(bg, fg) + 0.05)];
        })()'''
        for scheme in ('light', 'dark'):
            self.b.send('Emulation.setEmulatedMedia',
                        features=[{'name': 'prefers-color-scheme', 'value': scheme}])
            background, contrast = self.b.js(luminance)
            if (background > 0.5) != (scheme == 'light') or contrast < 7:
                raise PageError(f'{scheme}: background {background:.2f}, contrast {contrast:.1f}')
            for tab in ('readme', 'demo'):
                self.b.click(f'#tab-{tab}')
                self.b.screenshot(os.path.join(self.screenshots, f'web-{tab}-{scheme}.png'))
        # A phone's width: everything reflows, nothing needs sideways scrolling.
        self.b.send('Emulation.setDeviceMetricsOverride', width=360, height=740,
                    deviceScaleFactor=1, mobile=False)
        try:
            for tab in ('readme', 'demo'):
                self.b.click(f'#tab-{tab}')
                self.expect('document.documentElement.scrollWidth <= 360', True)
        finally:
            self.b.send('Emulation.clearDeviceMetricsOverride')

    def test_without_the_simulated_kit(self):
        # On the browser's own devices, none granted: the desktop's first tick, and a way to
        # ask the browser for the Kit.
        self.b.open(self.base + 'index.html')
        self.b.wait_js(f'{text("#notice")} === "The KIT is not detected !"', 10, 'the notice')
        self.expect('[document.querySelector("#connect").checkVisibility(), '
                    'document.querySelector("#sim").hidden]', [False, True])
        self.b.click('#tab-demo')
        self.expect('document.querySelector("#connect").checkVisibility()', True)
        self.box(('Warning', 'No free COM port is available !'))
        self.expect(f'[{text("#pane0")}, {text("#pane1")}, {text("#pane2")}]',
                    ['Disconnected', 'COM port is not available !', 'Firmware Version: N/A'])

    def test_where_the_page_cannot_run(self):
        gone = "document.querySelectorAll('#demo button, #demo input').length"
        # A browser without WebHID and Web Serial (Firefox, Safari): one sentence of what works
        # where, the simulated Kit offered, and no controls.
        script = self.b.send('Page.addScriptToEvaluateOnNewDocument',
                             source='delete Navigator.prototype.hid; '
                                    'delete Navigator.prototype.serial;')['identifier']
        try:
            self.b.open(self.base + 'index.html')
            self.b.wait_js(core('return core === null;'), 10, 'the page to give up')
            self.expect(f'[{text("#support")}, document.querySelector("#support a").href, {gone}]',
                        ['Reaching the Kit from a page takes WebHID and Web Serial, which '
                         'Chrome, Edge and Opera offer on Windows, macOS, Linux and ChromeOS, '
                         'and Firefox and Safari do not; the simulated Kit works here.',
                         self.base + 'index.html?sim', 0])
        finally:
            self.b.send('Page.removeScriptToEvaluateOnNewDocument', identifier=script)
        # A plain server sends no COOP/COEP: the page says what it needs.
        server, base = serve(lambda port: [sys.executable, '-m', 'http.server', '--bind',
                                           '127.0.0.1', '--directory', self.site, str(port)])
        try:
            self.b.open(base + 'index.html?sim')
            self.b.wait_js(core('return core === null;'), 10, 'the page to give up')
            self.expect(f"[{text('#support')}.includes('Cross-Origin-Embedder-Policy: "
                        f"require-corp'), {gone}]", [True, 0])
        finally:
            server.terminate()
            server.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--site', default=os.path.join(ROOT, 'build-web', 'site'))
    parser.add_argument('--serve', default=os.path.join(ROOT, 'web', 'serve.py'))
    parser.add_argument('--screenshots', default=os.path.join(ROOT, 'build', 'screenshots'))
    args = parser.parse_args()
    os.makedirs(args.screenshots, exist_ok=True)
    server, base = serve(lambda port: [sys.executable, args.serve, '--port', str(port), args.site])
    browser = Chromium(os.path.join(os.path.dirname(args.screenshots), 'web-test-chromium.log'))
    test = PageTest(browser, base, args.site, args.screenshots)
    failed = 0
    try:
        for name in [n for n in dir(PageTest) if n.startswith('test_')]:
            started = time.monotonic()
            try:
                getattr(test, name)()
                errors = browser.errors()
                if errors:
                    raise PageError(f'the page met errors: {errors}')
                print(f'PASS {name} ({time.monotonic() - started:.1f} s)', flush=True)
            except Exception:  # noqa: BLE001 - every failure is reported, then the next runs
                failed += 1
                print(f'FAIL {name}\n{traceback.format_exc()}', flush=True)
            browser.events.clear()
    finally:
        browser.close()
        server.terminate()
        server.wait()
    print(f'{failed} of the page tests failed' if failed else 'all page tests passed')
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
