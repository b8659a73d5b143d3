"""A small DevTools-protocol client: starts headless Chromium, drives one page with real input
events and waits for conditions with a deadline."""
import base64
import json
import os
import shutil
import subprocess
import tempfile
import time
import urllib.request

import websocket

CHROMIUM = '/usr/bin/chromium'
KEYS = {  # key: (code, Windows key code, text)
    'Tab': ('Tab', 9, ''), 'Enter': ('Enter', 13, '\r'), ' ': ('Space', 32, ' '),
    'Escape': ('Escape', 27, ''), 'Home': ('Home', 36, ''), 'End': ('End', 35, ''),
    'ArrowLeft': ('ArrowLeft', 37, ''), 'ArrowUp': ('ArrowUp', 38, ''),
    'ArrowRight': ('ArrowRight', 39, ''), 'ArrowDown': ('ArrowDown', 40, ''),
    'F3': ('F3', 114, ''),
}
CTRL = 2
SHIFT = 8


class PageError(AssertionError):
    pass


def wait(condition, timeout, what):
    """Polls `condition` until it returns a true value or `timeout` seconds pass."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise PageError(f'timed out after {timeout} s waiting for {what}')
        time.sleep(0.05)


class Chromium:
    def __init__(self, log_path):
        self.profile = tempfile.mkdtemp(prefix='palvex-chromium-')
        args = [CHROMIUM, '--headless=new', '--remote-debugging-port=0',
                f'--user-data-dir={self.profile}', '--no-first-run', '--no-default-browser-check',
                '--window-size=1280,900', 'about:blank']
        if os.geteuid() == 0:
            args.insert(1, '--no-sandbox')  # Chromium refuses root otherwise
        self.log = open(log_path, 'w')
        self.process = subprocess.Popen(args, stdout=self.log, stderr=subprocess.STDOUT)
        self.connect(60)

    def connect(self, timeout):
        """Drives the page of the Chromium just started on self.profile, once its DevTools port
        is open (in at most `timeout` seconds)."""
        port_file = os.path.join(self.profile, 'DevToolsActivePort')
        wait(lambda: os.path.exists(port_file) and open(port_file).read().count('\n') >= 1,
             timeout, 'Chromium to open its DevTools port')
        port = open(port_file).read().split('\n')[0]
        targets = json.load(urllib.request.urlopen(f'http://127.0.0.1:{port}/json/list'))
        page = next(t for t in targets if t['type'] == 'page')
        self.ws = websocket.create_connection(page['webSocketDebuggerUrl'], timeout=60,
                                              suppress_origin=True)
        self.next_id = 0
        self.events = []
        self.send('Runtime.enable')
        self.send('Page.enable')
        self.send('Emulation.setFocusEmulationEnabled', enabled=True)

    def close(self):
        self.ws.close()
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
        self.log.close()

        # Chromium's helpers may still write there for a moment after the browser has gone.
        def removed():
            shutil.rmtree(self.profile, ignore_errors=True)
            return not os.path.exists(self.profile)
        try:
            wait(removed, 10, f'{self.profile} to be removed')
        except PageError as error:
            print(f'cdp: {error}')

    def send(self, method, **params):
        self.next_id += 1
        self.ws.send(json.dumps({'id': self.next_id, 'method': method, 'params': params}))
        while True:
            message = json.loads(self.ws.recv())
            if message.get('id') == self.next_id:
                if 'error' in message:
                    raise PageError(f'{method}: {message["error"]}')
                return message['result']
            self.events.append(message)

    def errors(self):
        """Exceptions and console errors the page met so far."""
        found = []
        for event in self.events:
            if event.get('method') == 'Runtime.exceptionThrown':
                found.append(event['params']['exceptionDetails'].get('exception', {})
                             .get('description', event['params']['exceptionDetails']['text']))
            elif (event.get('method') == 'Runtime.consoleAPICalled' and
                  event['params']['type'] == 'error'):
                found.append(' '.join(str(a.get('value', a.get('description')))
                                      for a in event['params']['args']))
        return found

    def js(self, expression):
        """The value of a JavaScript expression (awaited), or PageError with its exception."""
        result = self.send('Runtime.evaluate', expression=expression, returnByValue=True,
                           awaitPromise=True)
        if 'exceptionDetails' in result:
            details = result['exceptionDetails']
            raise PageError(details.get('exception', {}).get('description', details['text']))
        return result['result'].get('value')

    def wait_js(self, expression, timeout=10, what=None):
        return wait(lambda: self.js(expression), timeout, what or expression)

    def open(self, url):
        self.send('Page.navigate', url=url)
        self.wait_js('document.readyState === "complete"', 30, f'{url} to load')

    def click(self, selector):
        """A left click with the mouse in the middle of the element."""
        box = self.js(f'''(() => {{
            const element = document.querySelector({json.dumps(selector)});
            element.scrollIntoView({{block: 'center'}});
            const r = element.getBoundingClientRect();
            return [r.x + r.width / 2, r.y + r.height / 2];
        }})()''')
        x, y = box
        self.send('Input.dispatchMouseEvent', type='mouseMoved', x=x, y=y)
        for kind in ('mousePressed', 'mouseReleased'):
            self.send('Input.dispatchMouseEvent', type=kind, x=x, y=y, button='left',
                      clickCount=1)

    def wheel(self, selector, delta_y):
        """Turns the mouse wheel over the middle of the element."""
        x, y = self.js(f'''(() => {{
            const r = document.querySelector({json.dumps(selector)}).getBoundingClientRect();
            return [r.x + r.width / 2, r.y + r.height / 2];
        }})()''')
        self.send('Input.dispatchMouseEvent', type='mouseWheel', x=x, y=y, deltaX=0,
                  deltaY=delta_y)

    def key(self, key, modifiers=0):
        code, vk, text = KEYS[key] if key in KEYS else (f'Key{key.upper()}', ord(key.upper()), key)
        if modifiers & CTRL:
            text = ''
        down = dict(type='keyDown' if text else 'rawKeyDown', key=key, code=code,
                    windowsVirtualKeyCode=vk, modifiers=modifiers)
        if text:
            down.update(text=text, unmodifiedText=text)
        self.send('Input.dispatchKeyEvent', **down)
        self.send('Input.dispatchKeyEvent', type='keyUp', key=key, code=code,
                  windowsVirtualKeyCode=vk, modifiers=modifiers)

    def type(self, text):
        for char in text:
            self.send('Input.dispatchKeyEvent', type='keyDown', key=char, text=char,
                      unmodifiedText=char)
            self.send('Input.dispatchKeyEvent', type='keyUp', key=char)

    def screenshot(self, path):
        data = self.send('Page.captureScreenshot', format='png')['data']
        with open(path, 'wb') as out:
            out.write(base64.b64decode(data))
