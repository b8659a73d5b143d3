// The page's way into the core (palvex-core.js and its .wasm): starts it on the browser's
// devices or on the simulated Kit, hands it the page's commands and passes its events on.
// Nothing here blocks: the core runs on threads of its own.
import { WebPump } from './web_pump.js';

const CHANNELS = { usb: 0, rs232: 1 };

// What this browser offers the page.
export function browserSupport() {
  return {
    webHid: typeof navigator !== 'undefined' && 'hid' in navigator,
    webSerial: typeof navigator !== 'undefined' && 'serial' in navigator,
    isolated: globalThis.crossOriginIsolated === true,
  };
}

function loadScript(url) {
  return new Promise((resolve, reject) => {
    const script = document.createElement('script');
    script.src = url;
    script.onload = resolve;
    script.onerror = () => reject(new Error(`${url} could not be loaded`));
    document.head.appendChild(script);
  });
}

// Starts the core. onEvent gets {type: 'status' | 'notice' | 'box' | 'traffic' | 'sent', ...}
// on the main thread, in the order the core sent them.
export async function startCore({ sim = false, onEvent, base = '.', factory = null }) {
  const create = factory || (await loadScript(`${base}/palvex-core.js`), globalThis.PalvexCore);
  const pump = new WebPump();
  if (!sim) {
    await pump.start();
  }
  // When the oldest bytes not yet taken reached this thread, per channel: the core says so
  // once until they are taken.
  const arrived = { usb: null, rs232: null };
  let module = null; // events may come before the factory has handed it over
  module = await create({
    arguments: sim ? ['--sim'] : [],
    palvexPump: pump,
    palvexEvent: (event) => {
      // An event the page heard only after taking the bytes it announced is no news.
      if (event.type === 'traffic' && arrived[event.channel] === null &&
          (module === null || event.takes === module._palvex_web_takes(CHANNELS[event.channel]))) {
        arrived[event.channel] = performance.now();
      }
      onEvent(event);
    },
    locateFile: (file) => `${base}/${file}`,
    print: (text) => console.log(text),
    printErr: (text) => console.warn(text),
  });
  pump.attach(module);

  // One buffer for the bytes that cross, grown when a take needs more.
  let buffer = 0;
  let capacity = 0;
  const room = (size) => {
    if (size > capacity) {
      if (buffer) {
        module._free(buffer);
      }
      capacity = Math.max(size, 64 * 1024);
      buffer = module._malloc(capacity);
    }
    return buffer;
  };
  const handBytes = (call, channel, bytes) => {
    const at = room(bytes.length);
    module.HEAPU8.set(bytes, at);
    call(channel, at, bytes.length);
  };

  const core = {
    takeTraffic(channel) {
      const id = CHANNELS[channel];
      let size = module._palvex_web_take(id, room(1), capacity);
      if (size > capacity) {
        size = module._palvex_web_take(id, room(size), capacity);
      }
      core.takenArrival[channel] = arrived[channel];
      arrived[channel] = null;
      return module.HEAPU8.slice(buffer, buffer + size);
    },
    // For the last take of each channel: when its oldest bytes reached this thread
    // (performance.now()), or null. The page's benchmark measures from there to the paint.
    takenArrival: { usb: null, rs232: null },
    send(channel, bytes) {
      handBytes(module._palvex_web_send, CHANNELS[channel], bytes);
    },
    led(flashing) {
      module._palvex_web_led(flashing ? 1 : 0);
    },
    noticeClosed() {
      module._palvex_web_notice_closed();
    },
    async requestKit() {
      const granted = await pump.requestKit();
      module._palvex_web_granted();
      return granted;
    },
    async requestSerial() {
      const granted = await pump.requestSerial();
      module._palvex_web_granted();
      return granted;
    },
    // A page that goes away cannot wait for the core's close sequence: the close command
    // is handed to the browser here and now, which may or may not send it.
    close() {
      let size = module._palvex_web_close_report(room(64), capacity);
      if (size > 0 && size <= capacity) {
        pump.sendNow(module.HEAPU8.slice(buffer, buffer + size));
      }
    },
    // Ends the core after its close sequence (for scripts; a page simply goes).
    stop() {
      module._palvex_web_stop();
    },
    sim: {
      plugUsb(plugged) {
        module._palvex_web_sim_plug(0, plugged ? 1 : 0);
      },
      connectSerial(connected) {
        module._palvex_web_sim_plug(1, connected ? 1 : 0);
      },
      sendUsb(bytes) {
        handBytes(module._palvex_web_sim_say, 0, bytes);
      },
      sendSerial(bytes) {
        handBytes(module._palvex_web_sim_say, 1, bytes);
      },
      // The board sends `count` bytes of numbered lines at `bytesPerSecond` by itself.
      stream(channel, count, bytesPerSecond, lineEnds = true) {
        module._palvex_web_sim_stream(CHANNELS[channel], count, bytesPerSecond, lineEnds ? 1 : 0);
      },
      streamed(channel) {
        return module._palvex_web_sim_streamed(CHANNELS[channel]);
      },
      state() {
        const state = module._palvex_web_sim_state();
        return {
          usbPlugged: (state & 1) !== 0,
          serialConnected: (state & 2) !== 0,
          ledFlashing: (state & 4) !== 0,
        };
      },
    },
  };
  return core;
}
