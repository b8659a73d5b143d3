// The pump: the browser's main thread side of the core's HID devices and serial ports. It owns
// the HIDDevice and SerialPort objects (WebHID and Web Serial live on this thread), never
// blocks, and meets the core's threads in shared memory (web_pump.h): input goes into each
// open handle's queue, and each operation the core started is settled when the browser's
// promise is.

const KIT_VENDOR_ID = 0xd804;
const KIT_PRODUCT_ID = 0x0032;

// web_pump.h's layout, in 32-bit words.
const HEAD = 0;
const TAIL = 1;
const SIGNAL = 2;
const STATE = 3;
const CAPACITY = 4;
const DATA = 5;
const QUEUE_OPEN = 0;
const QUEUE_GONE = 1;
const OP_PENDING = 0;
const OP_DONE = 1;
const OP_FAILED = 1;
const OP_MISSING = 2;
const OP_TEXT = 8;
const OP_TEXT_BYTES = 200;
const OP_BYTES = 208;
// Input reports kept for a handle that is not being read, as the kernel keeps 64.
const QUEUED_REPORTS = 64;

// Bytes a report of `reports` (a HIDReportInfo list) carries after its id.
function reportBytes(reports) {
  let longest = 0;
  for (const report of reports || []) {
    let bits = 0;
    for (const item of report.items || []) {
      bits += item.reportSize * item.reportCount;
    }
    longest = Math.max(longest, Math.ceil(bits / 8));
  }
  return longest;
}

export class WebPump {
  constructor() {
    this.module = null;
    this.hid = new Map(); // id -> {device, inLength, outLength, queues, writes}
    this.serial = new Map(); // id -> {port, queue, reader, writer, reading, closing}
    this.ids = new WeakMap();
    this.nextId = 1;
    this.encoder = new TextEncoder();
  }

  // Lists what this page was granted before and follows plugging from now on.
  async start() {
    if (navigator.hid) {
      navigator.hid.addEventListener('connect', (event) => this.addHid(event.device));
      navigator.hid.addEventListener('disconnect', (event) => this.dropHid(event.device));
      for (const device of await navigator.hid.getDevices()) {
        this.addHid(device);
      }
    }
    if (navigator.serial) {
      navigator.serial.addEventListener('connect', (event) => this.addSerial(event.target));
      navigator.serial.addEventListener('disconnect', (event) => this.dropSerial(event.target));
      for (const port of await navigator.serial.getPorts()) {
        this.addSerial(port);
      }
    }
  }

  attach(module) {
    this.module = module;
  }

  // Must run in a click handler: the browser asks the user for the Kit and for its line.
  // The device chooser may use up the click, so a line not chosen now can be asked for by
  // a second click (requestSerial).
  async requestKit() {
    const granted = { hid: false, serial: false };
    if (navigator.hid) {
      try {
        const devices = await navigator.hid.requestDevice({
          filters: [{ vendorId: KIT_VENDOR_ID, productId: KIT_PRODUCT_ID }],
        });
        devices.forEach((device) => this.addHid(device));
        granted.hid = devices.length > 0;
      } catch (error) {
        // Dismissed, or no click to go on: nothing granted.
      }
    }
    granted.serial = await this.requestSerial();
    return granted;
  }

  // The Kit's line is an RS232 line behind whichever USB adapter the user has, so the
  // chooser lists every port.
  async requestSerial() {
    if (!navigator.serial) {
      return false;
    }
    try {
      this.addSerial(await navigator.serial.requestPort());
      return true;
    } catch (error) {
      return false;
    }
  }

  idOf(object) {
    let id = this.ids.get(object);
    if (id === undefined) {
      id = this.nextId++;
      this.ids.set(object, id);
    }
    return id;
  }

  addHid(device) {
    const id = this.idOf(device);
    if (this.hid.has(id)) {
      this.hid.get(id).present = true;
      return;
    }
    let inLength = 0;
    let outLength = 0;
    for (const collection of device.collections || []) {
      inLength = Math.max(inLength, reportBytes(collection.inputReports));
      outLength = Math.max(outLength, reportBytes(collection.outputReports));
    }
    // Lengths count the report id byte, as the core's do.
    this.hid.set(id, {
      device,
      inLength: inLength + 1,
      outLength: outLength + 1,
      queues: new Set(),
      writes: Promise.resolve(),
      listener: null,
      present: true,
    });
  }

  dropHid(device) {
    const id = this.idOf(device);
    const entry = this.hid.get(id);
    if (!entry) {
      return;
    }
    // Kept unlisted until the core has closed its handles on it.
    entry.present = false;
    entry.queues.forEach((queue) => this.end(queue, QUEUE_GONE));
  }

  addSerial(port) {
    const id = this.idOf(port);
    if (this.serial.has(id)) {
      this.serial.get(id).present = true;
    } else {
      this.serial.set(id, { port, queue: 0, reader: null, writer: null, present: true });
    }
  }

  dropSerial(port) {
    const id = this.idOf(port);
    const entry = this.serial.get(id);
    if (!entry) {
      return;
    }
    entry.present = false;
    if (entry.queue) {
      this.end(entry.queue, QUEUE_GONE);
    }
  }

  // Writes `text` into the core's buffer when it fits; the bytes it needs.
  writeList(text, buffer, capacity) {
    const bytes = this.encoder.encode(text);
    if (bytes.length <= capacity) {
      this.module.HEAPU8.set(bytes, buffer);
    }
    return bytes.length;
  }

  hidList(buffer, capacity) {
    let text = '';
    for (const [id, entry] of this.hid) {
      if (!entry.present) {
        continue;
      }
      const { vendorId, productId } = entry.device;
      text += `${id} ${vendorId} ${productId} ${entry.inLength} ${entry.outLength}\n`;
    }
    return this.writeList(text, buffer, capacity);
  }

  serialList(buffer, capacity) {
    let text = '';
    for (const [id, entry] of this.serial) {
      if (!entry.present) {
        continue;
      }
      const info = entry.port.getInfo();
      text += `${id} ${info.usbVendorId || 0} ${info.usbProductId || 0}\n`;
    }
    return this.writeList(text, buffer, capacity);
  }

  // Settles an op the core waits for, or frees it when the core has given up on it.
  settle(op, result, text = '') {
    const heap32 = this.module.HEAP32;
    heap32[(op + 4) >> 2] = result;
    const bytes = this.encoder.encode(String(text)).subarray(0, OP_TEXT_BYTES - 1);
    this.module.HEAPU8.set(bytes, op + OP_TEXT);
    this.module.HEAPU8[op + OP_TEXT + bytes.length] = 0;
    if (Atomics.compareExchange(heap32, op >> 2, OP_PENDING, OP_DONE) !== OP_PENDING) {
      this.module._free(op);
      return;
    }
    Atomics.notify(heap32, op >> 2);
  }

  signal(queue) {
    Atomics.add(this.module.HEAP32, (queue >> 2) + SIGNAL, 1);
    Atomics.notify(this.module.HEAP32, (queue >> 2) + SIGNAL);
  }

  end(queue, state) {
    Atomics.compareExchange(this.module.HEAP32, (queue >> 2) + STATE, QUEUE_OPEN, state);
    this.signal(queue);
  }

  // Room left in a queue, in bytes.
  room(queue) {
    const heap32 = this.module.HEAP32;
    const word = queue >> 2;
    const used = (Atomics.load(heap32, word + HEAD) - Atomics.load(heap32, word + TAIL)) >>> 0;
    return (heap32[word + CAPACITY] >>> 0) - used;
  }

  // Appends bytes the caller has made room for, then publishes them.
  put(queue, bytes) {
    const heap32 = this.module.HEAP32;
    const heap8 = this.module.HEAPU8;
    const word = queue >> 2;
    const head = Atomics.load(heap32, word + HEAD) >>> 0;
    const mask = (heap32[word + CAPACITY] >>> 0) - 1;
    const data = heap32[word + DATA] >>> 0;
    for (let i = 0; i < bytes.length; ++i) {
      heap8[data + ((head + i) & mask)] = bytes[i];
    }
    Atomics.store(heap32, word + HEAD, (head + bytes.length) | 0);
    this.signal(queue);
  }

  async hidOpen(id, queue, op) {
    const entry = this.hid.get(id);
    if (!entry || !entry.present) {
      this.settle(op, OP_MISSING, 'The device has gone');
      return;
    }
    try {
      if (!entry.device.opened) {
        await entry.device.open();
      }
      if (!entry.listener) {
        entry.listener = (event) => this.hidInput(entry, event);
        entry.device.addEventListener('inputreport', entry.listener);
      }
      entry.queues.add(queue);
      this.settle(op, 0);
    } catch (error) {
      this.settle(op, OP_FAILED, error.message || String(error));
    }
  }

  hidInput(entry, event) {
    const data = new Uint8Array(event.data.buffer, event.data.byteOffset, event.data.byteLength);
    const record = new Uint8Array(data.length + 2);
    record[0] = data.length + 1;
    record[1] = event.reportId;
    record.set(data, 2);
    const limit = QUEUED_REPORTS * (entry.inLength + 1);
    for (const queue of entry.queues) {
      const capacity = this.module.HEAP32[(queue >> 2) + CAPACITY] >>> 0;
      const used = capacity - this.room(queue);
      // A queue that holds its 64 reports drops newer ones, as hidraw does.
      if (used + record.length <= Math.min(limit, capacity)) {
        this.put(queue, record);
      }
    }
  }

  hidWrite(id, op, length) {
    const entry = this.hid.get(id);
    const bytes = this.module.HEAPU8.slice(op + OP_BYTES, op + OP_BYTES + length);
    if (!entry || !entry.device.opened) {
      this.settle(op, OP_MISSING, 'The device has gone');
      return;
    }
    // One report after the other, as the core wrote them; the browser adds the id byte.
    entry.writes = entry.writes.then(() =>
      entry.device.sendReport(bytes[0], bytes.subarray(1)).then(
        () => this.settle(op, 0),
        (error) => this.settle(op, OP_FAILED, error.message || String(error)),
      ),
    );
  }

  async hidClose(id, queue, op) {
    const entry = this.hid.get(id);
    if (entry) {
      entry.queues.delete(queue);
      if (entry.queues.size === 0 && entry.device.opened) {
        entry.device.removeEventListener('inputreport', entry.listener);
        entry.listener = null;
        try {
          await entry.device.close();
        } catch (error) {
          // Gone meanwhile: closed all the same.
        }
      }
    }
    this.settle(op, 0);
  }

  // The close command for a page that is going away: started here and now, since the core's
  // threads will not get another turn of this thread. The browser may still drop it.
  sendNow(report) {
    for (const entry of this.hid.values()) {
      if (entry.device.opened && entry.queues.size > 0 && report.length > 0) {
        entry.device.sendReport(report[0], report.subarray(1)).catch(() => {});
      }
    }
  }

  async serialOpen(id, queue, op, baudRate, dataBits, parity, stopBits) {
    const entry = this.serial.get(id);
    if (!entry || !entry.present) {
      this.settle(op, OP_MISSING, 'The port has gone');
      return;
    }
    try {
      await entry.port.open({
        baudRate,
        dataBits,
        stopBits,
        parity: ['none', 'odd', 'even'][parity] || 'none',
        flowControl: 'none',
      });
      entry.queue = queue;
      entry.closing = false;
      entry.writer = entry.port.writable.getWriter();
      entry.reading = this.readSerial(entry);
      this.settle(op, 0);
    } catch (error) {
      this.settle(op, OP_FAILED, error.message || String(error));
    }
  }

  async readSerial(entry) {
    const queue = entry.queue;
    try {
      entry.reader = entry.port.readable.getReader();
      for (;;) {
        const { value, done } = await entry.reader.read();
        if (done) {
          break;
        }
        let rest = value;
        while (rest.length > 0) {
          const room = this.room(queue);
          if (room === 0) {
            // The core is behind: hold the bytes until it has taken some, lose none.
            await new Promise((resolve) => setTimeout(resolve, 1));
            continue;
          }
          this.put(queue, rest.subarray(0, room));
          rest = rest.subarray(room);
        }
      }
    } catch (error) {
      if (!entry.closing) {
        this.end(queue, QUEUE_GONE); // the adapter went, or the line broke
      }
    } finally {
      if (entry.reader) {
        entry.reader.releaseLock();
        entry.reader = null;
      }
    }
  }

  serialWrite(id, op, length) {
    const entry = this.serial.get(id);
    const bytes = this.module.HEAPU8.slice(op + OP_BYTES, op + OP_BYTES + length);
    if (!entry || !entry.writer) {
      this.settle(op, OP_MISSING, 'The port has gone');
      return;
    }
    entry.writer.write(bytes).then(
      () => this.settle(op, 0),
      (error) => this.settle(op, OP_FAILED, error.message || String(error)),
    );
  }

  async serialClose(id, op) {
    const entry = this.serial.get(id);
    if (entry && entry.writer) {
      entry.closing = true;
      try {
        if (entry.reader) {
          await entry.reader.cancel();
        }
        await entry.reading;
        entry.writer.releaseLock();
        entry.writer = null;
        await entry.port.close();
      } catch (error) {
        // A port that went is closed all the same.
      }
      entry.queue = 0;
    }
    this.settle(op, 0);
  }
}
