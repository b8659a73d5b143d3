// The browser page of Palvex: the desktop's two tabs, status bar, notices and message boxes
// over the core (core.js). Board bytes only ever reach the page as text.
import { browserSupport, startCore } from './core.js';
import { ansiFromText } from './ansi.js';
import { SendBox } from './send_box.js';
import { TrafficView } from './traffic_view.js';

const SEND_BUFFER_SIZE = 64; // one send carries at most this many bytes
const NOTICE_MS = 2000; // how long a notice stays
const HIDDEN_FRAME_MS = 250; // traffic is taken this often while the page is hidden
const SIM_REFRESH_MS = 500;
const CHANNELS = [
  { key: 'usb', name: 'USB', text: 'USB' },
  { key: 'rs232', name: 'RS232', text: 'Welcome', lineEnd: true },
];

const $ = (id) => document.getElementById(id);
const simulated = new URLSearchParams(location.search).has('sim');
let core = null;
const channels = new Map();

// Message boxes ---------------------------------------------------------------------------------

const boxes = [];
let focusBeforeBox = null;

function showBox(caption, text) {
  boxes.push({ caption, text });
  if (!$('box').open) {
    nextBox();
  }
}

function nextBox() {
  const next = boxes.shift();
  if (!next) {
    focusBeforeBox?.focus();
    focusBeforeBox = null;
    return;
  }
  focusBeforeBox ??= document.activeElement;
  $('box-caption').textContent = next.caption;
  $('box-text').textContent = next.text;
  $('box').showModal();
  $('box-ok').focus();
}

// Notices: shown one at a time for NOTICE_MS; the core waits for each to close, as the
// desktop's supervisor waits for its notice dialog.
const notices = [];
let noticeOpen = false;

function showNotice(text) {
  notices.push(text);
  if (!noticeOpen) {
    nextNotice();
  }
}

function nextNotice() {
  const text = notices.shift();
  noticeOpen = text !== undefined;
  if (!noticeOpen) {
    $('notice').replaceChildren();
    return;
  }
  const notice = document.createElement('div');
  notice.className = 'notice';
  notice.textContent = text;
  $('notice').replaceChildren(notice);
  // In the top layer, as the desktop's notice is a window of its own: above an open box too.
  notice.popover = 'manual';
  notice.showPopover?.();
  setTimeout(() => {
    // The core may still be starting when its first notice comes; it waits for this answer.
    ready.then((running) => running?.noticeClosed());
    nextNotice();
  }, NOTICE_MS);
}

// Tabs: a tablist whose arrows, Home and End move between the tabs and show the page.
function setUpTabs() {
  const tabs = [...document.querySelectorAll('[role=tab]')];
  const select = (chosen) => {
    for (const tab of tabs) {
      const selected = tab === chosen;
      tab.setAttribute('aria-selected', String(selected));
      tab.tabIndex = selected ? 0 : -1;
      $(tab.getAttribute('aria-controls')).hidden = !selected;
    }
  };
  for (const [i, tab] of tabs.entries()) {
    tab.addEventListener('click', () => select(tab));
    tab.addEventListener('keydown', (event) => {
      const to = { ArrowRight: i + 1, ArrowLeft: i - 1, Home: 0, End: tabs.length - 1 }[
        event.key];
      if (to === undefined) {
        return;
      }
      event.preventDefault();
      const next = tabs[(to + tabs.length) % tabs.length];
      select(next);
      next.focus();
    });
  }
}

// The ReadMe: HTML our own build tool made from Readme.rtf, already escaped.
async function loadReadMe() {
  try {
    const response = await fetch('readme.html');
    if (!response.ok) {
      throw new Error(`${response.status} ${response.statusText}`);
    }
    $('readme-doc').innerHTML = await response.text();
  } catch (error) {
    showBox('Error', `Something wrong with the file access.\n\nreadme.html: ${error.message}`);
  }
}

// Channels ------------------------------------------------------------------------------------

function buildChannel({ key, name, text, lineEnd }) {
  const part = $('channel-template').content.firstElementChild.cloneNode(true);
  const find = (selector) => part.querySelector(selector);
  const named = (selector, label) => {
    find(selector).setAttribute('aria-label', label);
    return find(selector);
  };
  part.id = key;
  find('legend').textContent = name;
  const labelText = `Received Data From ${name}`;
  find('.view-label').textContent = labelText;
  const viewElement = named('.view', labelText);
  named('.hex', `Show ${name} as Hex`);
  named('.stamps', `Timestamps on ${name}`);
  named('.pause', `Pause ${name}`);
  named('.find', `Find in ${name}`);
  named('.copy', `Copy ${name}`);
  named('.find-text', `Text to find in ${name}`);
  named('.find-prev', `Previous match in ${name}`);
  named('.find-next', `Next match in ${name}`);
  const input = named('.send-text', `Text to send on ${name}`);
  named('.send', `Send on ${name}`);
  named('.clear', `Clear ${name}`);
  const hexToggle = named('.send-hex', `Send hex bytes on ${name}`);
  const lineEndSelect = lineEnd ? named('.line-end', `Line end on ${name}`) : null;
  if (!lineEnd) {
    find('.line-end-label').remove();
  }
  $('channels').appendChild(part);

  const view = new TrafficView(viewElement, find('.view-status'));
  const box = new SendBox(input, hexToggle, lineEndSelect, SEND_BUFFER_SIZE);
  input.value = text;
  const channel = { key, name, view, counter: find('.counter') };
  channels.set(key, channel);

  find('.send-row').addEventListener('submit', (event) => {
    event.preventDefault();
    let payload;
    try {
      payload = box.payload();
    } catch (error) {
      showBox('Warning', error.message);
      return;
    }
    box.remember(payload.entry);
    core?.send(key, payload.bytes);
  });
  find('.clear').addEventListener('click', () => {
    view.clear();
    showCounts(channel);
  });
  hexToggle.addEventListener('change', () => {
    try {
      box.setHexMode(hexToggle.checked);
    } catch (error) {
      hexToggle.checked = !hexToggle.checked;
      showBox('Warning', error.message);
    }
  });
  find('.hex').addEventListener('click', (event) => {
    view.setHexMode(!view.hexMode);
    event.currentTarget.setAttribute('aria-pressed', String(view.hexMode));
  });
  find('.stamps').addEventListener('change', (event) => view.setStamps(event.target.value));
  find('.pause').addEventListener('click', (event) => {
    view.setPaused(!view.paused);
    event.currentTarget.setAttribute('aria-pressed', String(view.paused));
  });
  find('.copy').addEventListener('click', () => view.copy());

  const findBar = find('.find-bar');
  const findText = find('.find-text');
  const findButton = find('.find');
  const openFind = () => {
    findBar.hidden = false;
    findButton.setAttribute('aria-expanded', 'true');
    findText.focus();
    findText.select();
  };
  const closeFind = () => {
    findBar.hidden = true;
    findButton.setAttribute('aria-expanded', 'false');
    view.say('');
    viewElement.focus();
  };
  findButton.addEventListener('click', () => (findBar.hidden ? openFind() : closeFind()));
  find('.find-prev').addEventListener('click', () => view.findNext(findText.value, true));
  find('.find-next').addEventListener('click', () => view.findNext(findText.value));
  findText.addEventListener('keydown', (event) => {
    if (event.key === 'Enter' || event.key === 'F3') {
      event.preventDefault();
      view.findNext(findText.value, event.shiftKey);
    } else if (event.key === 'Escape') {
      event.preventDefault();
      closeFind();
    }
  });
  viewElement.addEventListener('keydown', (event) => {
    const ctrl = event.ctrlKey || event.metaKey;
    if (ctrl && event.key === 'f') {
      openFind();
    } else if (ctrl && event.key === 'a') {
      view.selectAll();
    } else if (ctrl && event.key === 'c' && view.allSelected) {
      view.copy();
    } else if (event.key === 'F3') {
      view.findNext(findText.value, event.shiftKey);
    } else if (event.key === 'Escape' && !findBar.hidden) {
      closeFind();
    } else {
      return;
    }
    event.preventDefault();
  });
  viewElement.addEventListener('mousedown', () => {
    if (view.allSelected) {
      view.allSelected = false;
      view.render();
    }
  });
  showCounts(channel);
}

function showCounts({ name, view, counter }) {
  counter.firstElementChild.textContent = `Rx ${view.received}  Tx ${view.sent}`;
  counter.lastElementChild.textContent =
    `${name}: ${view.received} bytes received, ${view.sent} sent`;
}

// Received bytes are taken once a frame, so a flood costs one update per frame. A hidden page
// gets no frames: a timer then takes them, so they do not pile up in the core.
let frameWanted = false;

function wantFrame() {
  if (!frameWanted) {
    frameWanted = true;
    requestAnimationFrame(frame);
    setTimeout(frame, HIDDEN_FRAME_MS);
  }
}

function frame() {
  if (!frameWanted) {
    return;
  }
  frameWanted = false;
  if (!core) {
    return; // the start asks again once the core runs
  }
  for (const channel of channels.values()) {
    const bytes = core.takeTraffic(channel.key);
    if (bytes.length > 0) {
      channel.view.append(bytes);
      channel.view.flush();
      showCounts(channel);
    }
  }
}

// The core's events ---------------------------------------------------------------------------

function onEvent(event) {
  switch (event.type) {
    case 'status': {
      const pane = $(`pane${event.pane}`);
      pane.textContent = event.text;
      if (event.tip) {
        pane.title = event.tip;
      } else {
        pane.removeAttribute('title');
      }
      break;
    }
    case 'notice':
      showNotice(event.text);
      break;
    case 'box':
      showBox(event.caption, event.text);
      break;
    case 'traffic':
      wantFrame();
      break;
    case 'sent': {
      const channel = channels.get(event.channel);
      if (channel) {
        channel.view.sent += event.count;
        showCounts(channel);
      }
      break;
    }
  }
  if (simulated) {
    showSimState();
  }
}

// The simulated Kit's panel -------------------------------------------------------------------

function showSimState() {
  if (!core?.sim) {
    return;
  }
  const state = core.sim.state();
  $('sim-usb').setAttribute('aria-pressed', String(state.usbPlugged));
  $('sim-serial').setAttribute('aria-pressed', String(state.serialConnected));
  $('sim-led').textContent = state.ledFlashing ? 'flashing' : 'stopped';
}

function setUpSimPanel() {
  $('sim').hidden = false;
  $('sim-usb').addEventListener('click', () => {
    core?.sim.plugUsb(!core.sim.state().usbPlugged);
    showSimState();
  });
  $('sim-serial').addEventListener('click', () => {
    core?.sim.connectSerial(!core.sim.state().serialConnected);
    showSimState();
  });
  const boardText = () => {
    const bytes = ansiFromText($('sim-text').value);
    return $('sim-crlf').checked ? Uint8Array.from([...bytes, 0x0d, 0x0a]) : bytes;
  };
  $('sim-send-usb').addEventListener('click', () => core?.sim.sendUsb(boardText()));
  $('sim-send-rs232').addEventListener('click', () => core?.sim.sendSerial(boardText()));
  setInterval(showSimState, SIM_REFRESH_MS);
}

// Start ---------------------------------------------------------------------------------------

// Says why the Demo and Test page cannot run here; its controls go, so nothing half-works.
function refuse(...content) {
  $('support').hidden = false;
  $('support').replaceChildren(...content);
  $('controls').remove();
}

function simLink(text) {
  const link = document.createElement('a');
  link.href = '?sim';
  link.textContent = text;
  return link;
}

async function start() {
  $('box').addEventListener('close', nextBox);
  setUpTabs();
  loadReadMe();
  const support = browserSupport();
  if (!support.isolated) {
    refuse('This page must be served with the headers Cross-Origin-Opener-Policy: ' +
           'same-origin and Cross-Origin-Embedder-Policy: require-corp, without which a ' +
           'browser runs none of its threads (web/serve.py sends them).');
    return null;
  }
  if (!simulated && !support.webHid && !support.webSerial) {
    refuse('Reaching the Kit from a page takes WebHID and Web Serial, which Chrome, Edge and ' +
           'Opera offer on Windows, macOS, Linux and ChromeOS, and Firefox and Safari do ' +
           'not; ', simLink('the simulated Kit'), ' works here.');
    return null;
  }
  if (!simulated && (!support.webHid || !support.webSerial)) {
    $('support').hidden = false;
    $('support').textContent = support.webHid
      ? 'This browser has no Web Serial: the RS232 channel cannot reach the board here.'
      : 'This browser has no WebHID: the USB channel cannot reach the Kit here.';
  }
  for (const channel of CHANNELS) {
    buildChannel(channel);
  }
  $('led-flashing').addEventListener('click', () => core?.led(true));
  $('led-stop').addEventListener('click', () => core?.led(false));
  if (simulated) {
    setUpSimPanel();
  } else {
    // The browser asks the user for the device and the port; only a click may start that.
    // The device's chooser may use up the click: the port then takes a second one.
    $('connect').hidden = false;
    $('connect').addEventListener('click', async () => {
      const granted = await core?.requestKit();
      $('connect-serial').hidden = !granted || granted.serial || !support.webSerial;
    });
    $('connect-serial').addEventListener('click', async () => {
      $('connect-serial').hidden = (await core?.requestSerial()) === true;
    });
  }
  try {
    core = await startCore({ sim: simulated, onEvent });
  } catch (error) {
    refuse(`The page's core could not start: ${error.message}`);
    return null;
  }
  // A page going away cannot wait: the close command is sent on a best-effort basis.
  addEventListener('pagehide', () => core.close());
  wantFrame(); // anything that came while the core started
  if (simulated) {
    showSimState();
  }
  return core;
}

// Resolves to the running core, or null where it cannot run (tests wait for it).
export const ready = start();
