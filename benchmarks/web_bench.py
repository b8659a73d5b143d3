#!/usr/bin/python3
"""The browser edition's speed in headless Chromium, beside the desktop build in the same run.

    benchmarks/web_bench.py [--site build-web/site] [--seconds 10] [--factor 11]

Figures, each beside its goal:
  - the page's size gzipped (what a first visit downloads: page, core, ReadMe; not Test.bin);
  - how soon the page shows from 127.0.0.1 (first contentful paint) and the Kit's version;
  - both channels streamed by the page's simulated Kit at FACTOR x their line rates: bytes
    shown and lost, and from the moment the oldest bytes of a batch reached the page's thread
    to the end of the frame that painted them (p50, p99);
  - CPU per MB shown: every Chromium process against the desktop's channel_bench (process CPU),
    same rates, same length, in this run.
Run it on a quiet machine; build first (scripts/web-build, and build/benchmarks/channel_bench).
"""
import argparse
import gzip
import os
import re
import socket
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', 'tests', 'web'))
from cdp import Chromium, wait  # noqa: E402

USB_LINE_RATE = 7000.0  # bytes/s: a report of 7 payload bytes each millisecond
RS232_LINE_RATE = 1920.0  # bytes/s: 19200 baud, 10 bits a byte
FRAME_MS = 1000 / 60
TICKS = os.sysconf('SC_CLK_TCK')


def figure(name, value, unit, goal, good):
    print(f'  {name}: {value:.2f} {unit}  ({goal}: {"ok" if good else "MISSED"})', flush=True)
    return good


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def cpu_seconds(root_pid, by_kind=None):
    """CPU time of a process and all its descendants, from /proc; by_kind, when given, gets
    each Chromium process kind's share (renderer, gpu-process, utility, browser)."""
    children = {}
    times = {}
    for entry in os.listdir('/proc'):
        if not entry.isdigit():
            continue
        try:
            with open(f'/proc/{entry}/stat') as f:
                fields = f.read().rsplit(')', 1)[1].split()
        except OSError:
            continue
        pid = int(entry)
        children.setdefault(int(fields[1]), []).append(pid)
        times[pid] = (int(fields[11]) + int(fields[12])) / TICKS
    total, todo = 0.0, [root_pid]
    while todo:
        pid = todo.pop()
        total += times.get(pid, 0.0)
        todo.extend(children.get(pid, []))
        if by_kind is not None:
            try:
                with open(f'/proc/{pid}/cmdline', 'rb') as f:
                    kind = re.search(rb'--type=([a-z-]+)', f.read())
            except OSError:
                continue
            kind = kind.group(1).decode() if kind else 'browser'
            by_kind[kind] = by_kind.get(kind, 0.0) + times.get(pid, 0.0)
    return total


def page_size(site):
    total = 0
    for name in sorted(os.listdir(site)):
        if name == 'Test.bin':
            continue  # downloaded only when asked for
        with open(os.path.join(site, name), 'rb') as f:
            total += len(gzip.compress(f.read(), 9))
    return total / 1024


INSTRUMENT = '''(async () => {
  const core = await (await import('./page.js')).ready;
  const stats = { usb: { bytes: 0, late: [] }, rs232: { bytes: 0, late: [] } };
  const take = core.takeTraffic;
  core.takeTraffic = (channel) => {
    const bytes = take(channel);
    const arrived = core.takenArrival[channel];
    stats[channel].bytes += bytes.length;
    if (bytes.length > 0 && arrived !== null) {
      // A message posted while the frame is drawn runs once it has been painted.
      const after = new MessageChannel();
      after.port1.onmessage = () => stats[channel].late.push(performance.now() - arrived);
      after.port2.postMessage(0);
    }
    return bytes;
  };
  window.benchStats = stats;
  return true;
})()'''


def desktop_cpu_per_mb(build, seconds, factor):
    bench = os.path.join(build, 'benchmarks', 'channel_bench')
    if not os.path.exists(bench):
        print(f'  (no {bench}: build it for the desktop figure)')
        return None
    env = dict(os.environ, QT_QPA_PLATFORM='offscreen')
    out = subprocess.run([bench, 'both', '--factor', str(factor), '--seconds', str(seconds)],
                         capture_output=True, text=True, env=env).stdout
    cpu = re.search(r'CPU over ([\d.]+) s: process ([\d.]+) %', out)
    shown = [int(n) for n in re.findall(r': (\d+) bytes in [\d.]+ s; shown', out)]
    if not cpu or not shown:
        print('  desktop run gave no figures:\n' + out)
        return None
    cpu_s = float(cpu.group(1)) * float(cpu.group(2)) / 100
    megabytes = sum(shown) / 1e6
    print(f'  desktop (channel_bench both --factor {factor} --seconds {seconds}): '
          f'{cpu_s:.2f} CPU s for {megabytes:.3f} MB')
    return cpu_s / megabytes


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--site', default='build-web/site')
    parser.add_argument('--build', default=os.environ.get('BUILD_DIR', 'build'))
    parser.add_argument('--seconds', type=float, default=10)
    parser.add_argument('--factor', type=float, default=11)
    options = parser.parse_args()
    good = True

    print('== the browser edition in headless Chromium')
    size = page_size(options.site)
    good &= figure('page gzipped', size, 'KB', 'goal < 300 KB', size < 300)

    port = free_port()
    server = subprocess.Popen([sys.executable, 'web/serve.py', '--port', str(port), options.site],
                              env=dict(os.environ, PALVEX_SERVE_QUIET='1'),
                              stdout=subprocess.DEVNULL)
    browser = Chromium('/tmp/palvex-web-bench-chromium.log')
    try:
        url = f'http://127.0.0.1:{port}/index.html?sim'
        wait(lambda: socket.create_connection(('127.0.0.1', port)).close() or True, 10, 'server')
        shows, versions = [], []
        for _ in range(3):
            browser.send('Page.navigate', url=url)
            wait(lambda: browser.js('document.readyState === "complete"'), 30, 'the page')
            paint = browser.wait_js('''performance.getEntriesByName('first-contentful-paint')[0]
                                       ?.startTime''', 30, 'the first paint')
            browser.wait_js('document.body.innerText.includes("Firmware Version: K1.07")', 30,
                            'the version')
            shows.append(paint)
            versions.append(browser.js('performance.now()'))
        show = statistics.median(shows)
        good &= figure('page shown (first contentful paint, median of 3)', show, 'ms',
                       'goal < 1000 ms', show < 1000)
        print(f'  the Kit\'s version shown within {statistics.median(versions):.0f} ms '
              '(median; the supervisor\'s first look is at 500 ms)')

        browser.js(INSTRUMENT)
        rates = {'usb': USB_LINE_RATE * options.factor, 'rs232': RS232_LINE_RATE * options.factor}
        counts = {ch: int(rate * options.seconds) for ch, rate in rates.items()}
        kinds_before = {}
        before = cpu_seconds(browser.process.pid, kinds_before)
        started = time.monotonic()
        for channel in rates:
            browser.js(f'''(async () => {{
                const core = await (await import('./page.js')).ready;
                core.sim.stream('{channel}', {counts[channel]}, {int(rates[channel])}, true);
                return true; }})()''')
        wait(lambda: browser.js('''benchStats.usb.bytes >= %d && benchStats.rs232.bytes >= %d'''
                                % (counts['usb'], counts['rs232'])),
             options.seconds * 3 + 30, 'every byte in the views')
        elapsed = time.monotonic() - started
        kinds = {}
        cpu = cpu_seconds(browser.process.pid, kinds) - before
        stats = browser.js('benchStats')
        print(f'== both channels at {options.factor:g} x their line rates for '
              f'{options.seconds:g} s')
        late = []
        for channel, name in (('usb', 'USB'), ('rs232', 'RS232')):
            shown = stats[channel]['bytes']
            rate = shown / elapsed
            good &= figure(f'{name} ratio to the line rate', rate / (rates[channel] /
                           options.factor), 'x', 'goal >= 10', rate / (rates[channel] /
                           options.factor) >= 10)
            good &= figure(f'{name} lost bytes', counts[channel] - shown, 'bytes', 'goal 0',
                           shown == counts[channel])
            late += stats[channel]['late']
        late.sort()
        p50 = late[len(late) // 2]
        p99 = late[min(len(late) - 1, int(len(late) * 0.99))]
        print(f'  {len(late)} batches; arrival to paint p50 {p50:.1f} ms')
        good &= figure('arrival to paint p99', p99, 'ms', f'goal < {FRAME_MS:.1f} ms (a frame)',
                       p99 < FRAME_MS)
        megabytes = (stats['usb']['bytes'] + stats['rs232']['bytes']) / 1e6
        web = cpu / megabytes
        print(f'  Chromium (every process): {cpu:.2f} CPU s for {megabytes:.3f} MB: ' +
              ', '.join(f'{kind} {kinds[kind] - kinds_before.get(kind, 0):.2f} s'
                        for kind in sorted(kinds)))
    finally:
        browser.close()
        server.terminate()
    desktop = desktop_cpu_per_mb(options.build, options.seconds, options.factor)
    if desktop:
        good &= figure('CPU per MB, the page against the desktop', web / desktop, 'x',
                       'goal <= 2', web / desktop <= 2)
    print(f'web_bench: {"PASS" if good else "FAIL"}')
    return 0 if good else 1


if __name__ == '__main__':
    sys.exit(main())
