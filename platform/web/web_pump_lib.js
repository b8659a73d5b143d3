// The pump's entry points as the core's C++ sees them (web_pump.h). Each runs on the
// browser's main thread, where the page's WebPump (web_pump.js) owns the devices: a list
// answers at once, everything else settles its op later.
mergeInto(LibraryManager.library, {
  palvex_pump_hid_list__proxy: 'sync',
  palvex_pump_hid_list: function (buffer, capacity) {
    // Without a pump (palvex-check under node) there are no devices, so nothing opens.
    const pump = Module['palvexPump'];
    return pump ? pump.hidList(buffer, capacity) : 0;
  },
  palvex_pump_hid_open__proxy: 'async',
  palvex_pump_hid_open: function (device, queue, op) {
    Module['palvexPump'].hidOpen(device, queue, op);
  },
  palvex_pump_hid_write__proxy: 'async',
  palvex_pump_hid_write: function (device, op, length) {
    Module['palvexPump'].hidWrite(device, op, length);
  },
  palvex_pump_hid_close__proxy: 'async',
  palvex_pump_hid_close: function (device, queue, op) {
    Module['palvexPump'].hidClose(device, queue, op);
  },
  palvex_pump_serial_list__proxy: 'sync',
  palvex_pump_serial_list: function (buffer, capacity) {
    const pump = Module['palvexPump'];
    return pump ? pump.serialList(buffer, capacity) : 0;
  },
  palvex_pump_serial_open__proxy: 'async',
  palvex_pump_serial_open: function (port, queue, op, baudRate, dataBits, parity, stopBits) {
    Module['palvexPump'].serialOpen(port, queue, op, baudRate, dataBits, parity, stopBits);
  },
  palvex_pump_serial_write__proxy: 'async',
  palvex_pump_serial_write: function (port, op, length) {
    Module['palvexPump'].serialWrite(port, op, length);
  },
  palvex_pump_serial_close__proxy: 'async',
  palvex_pump_serial_close: function (port, op) {
    Module['palvexPump'].serialClose(port, op);
  },
});
