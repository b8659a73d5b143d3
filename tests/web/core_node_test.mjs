// The browser edition's core under node, on the simulated Kit compiled into it: what the page
// is told (panes, notices, boxes, traffic) and what reaches the board, through the same
// core.js the page uses.
//   node --no-experimental-fetch tests/web/core_node_test.mjs build-web/site
import { createRequire } from 'node:module';
import path from 'node:path';
import { pathToFileURL } from 'node:url';
import assert from 'node:assert/strict';

const site = path.resolve(process.argv[2] || 'build-web/site');
const require = createRequire(import.meta.url);
const { startCore } = await import(pathToFileURL(path.join(site, 'core.js')));

const events = [];
let wake = () => {};
const core = await startCore({
  sim: true,
  base: site,
  factory: require(path.join(site, 'palvex-core.js')),
  onEvent: (event) => {
    events.push(event);
    if (event.type === 'notice') {
      setTimeout(() => core.noticeClosed(), 50); // the page's notice closes itself
    }
    wake();
  },
});

// Waits, at most `ms`, until `test` finds an event (from `from` on) or holds.
async function until(what, test, ms = 20000) {
  const deadline = Date.now() + ms;
  for (;;) {
    const found = test();
    if (found) {
      return found;
    }
    if (Date.now() > deadline) {
      throw new Error(`timed out waiting for ${what}; events: ${JSON.stringify(events.slice(-12))}`);
    }
    await new Promise((resolve) => {
      wake = resolve;
      setTimeout(resolve, 20);
    });
  }
}
const pane = (n) => [...events].reverse().find((e) => e.type === 'status' && e.pane === n)?.text;
const received = { usb: [], rs232: [] };
function take() {
  for (const channel of ['usb', 'rs232']) {
    received[channel].push(...core.takeTraffic(channel));
  }
}
async function echoed(channel, bytes) {
  take(); // what came before (the version reply shows in the USB view too)
  received[channel] = [];
  core.send(channel, bytes);
  await until(`${channel} echo`, () => (take(), received[channel].length >= bytes.length));
  assert.deepEqual(received[channel], [...bytes], `${channel} echo`);
}

const watchdog = setTimeout(() => {
  console.error('core test: no end within 120 s');
  process.exit(1);
}, 120000);
try {
  // Found at start: the version asked for and shown, the line found on COM1.
  await until('the version', () => pane(2) === 'Firmware Version: K1.07');
  await until('the line', () => pane(0) === 'Connected');
  assert.equal(pane(1), 'COM1 : 19200,8,N,1,fN');
  assert.ok(!events.some((e) => e.type === 'notice' || e.type === 'box'), 'no notice, no box');

  // LED commands reach the board.
  core.led(false);
  await until('LED stopped', () => !core.sim.state().ledFlashing);
  core.led(true);
  await until('LED flashing', () => core.sim.state().ledFlashing);

  // Sends echo on their own channel, every byte value, and are counted.
  const all = Uint8Array.from({ length: 64 }, (_, i) => (i * 4 + 3) & 0xff);
  await echoed('usb', all);
  await echoed('rs232', Uint8Array.from(all, (b) => 255 - b));
  await until('sent counts', () => events.filter((e) => e.type === 'sent' && e.count === 64).length === 2);

  // The board's traffic arrives whole and in order, a line buffer (4096 bytes) at a time.
  take();
  received.rs232 = [];
  const burst = Uint8Array.from({ length: 40 * 4000 }, (_, i) => (i * 7) & 0xff);
  for (let at = 0; at < burst.length; at += 4000) {
    core.sim.sendSerial(burst.subarray(at, at + 4000));
    await until('a block of the burst', () => (take(), received.rs232.length >= at + 4000));
  }
  assert.equal(received.rs232.length, burst.length);
  assert.ok(received.rs232.every((b, i) => b === burst[i]), 'burst in order');

  // Unplugged: the notice, then the pane; plugged in again: the version again.
  core.sim.plugUsb(false);
  await until('the unplug notice', () => events.some((e) => e.type === 'notice' && e.text === 'The KIT is unpluged or reset!'));
  await until('no version', () => pane(2) === 'Firmware Version: N/A');
  core.send('usb', Uint8Array.of(65));
  await until('the plug-in warning', () => events.some((e) => e.type === 'box' && e.text === 'Please plug your board in !' && e.caption === 'Warning'));
  core.sim.plugUsb(true);
  await until('the version again', () => pane(2) === 'Firmware Version: K1.07');

  // The line lost: one box naming it; back: found again without a box.
  core.sim.connectSerial(false);
  await until('the lost line', () => pane(0) === 'Disconnected');
  await until('the lost line box', () => events.some((e) => e.type === 'box' && e.caption === 'Error' && /^The serial port COM1 .*was disconnected\.$/.test(e.text)));
  const boxes = events.filter((e) => e.type === 'box').length;
  core.sim.connectSerial(true);
  await until('the line again', () => pane(0) === 'Connected');
  assert.equal(events.filter((e) => e.type === 'box').length, boxes, 'found again quietly');
  await echoed('rs232', Uint8Array.of(1, 2, 3));
  console.log('core test: all passed');
} catch (error) {
  console.error(`core test: ${error.stack || error}`);
  process.exit(1);
}
clearTimeout(watchdog);
core.stop(); // the close sequence, then the core ends the process
