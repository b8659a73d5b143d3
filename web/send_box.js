// A send box of the page: the bytes a Send carries, as text in the board's code page or as
// hex, with a line end on the serial box and a history of what was sent (Up and Down, as in
// a shell). The same rules and texts as the desktop's send boxes.
import { ansiFromText, textFromBytes } from './ansi.js';

// Entries the history keeps; the oldest goes first.
const HISTORY_SIZE = 100;
// A bad token is quoted in the message; a pasted page of junk is cut.
const QUOTED_TOKEN = 24;
// Hex of a full send with a blank after each byte.
const HEX_CHARS_PER_BYTE = 3;
const EXAMPLE = 'Give each byte as two hex digits, as in 1B 56 76.';

export const LINE_ENDS = { none: [], cr: [0x0d], lf: [0x0a], crlf: [0x0d, 0x0a] };

function quoted(token) {
  return `"${token.length > QUOTED_TOKEN ? token.slice(0, QUOTED_TOKEN) + '...' : token}"`;
}

// Bytes written as hex: tokens apart by blanks, each one or more bytes of two digits, either
// case ("1B 56 76", "1b5676"). Throws the reason, naming the token, when it cannot be read.
export function parseHex(text) {
  const bytes = [];
  for (const token of text.split(/\s+/).filter((t) => t !== '')) {
    if (!/^[0-9a-fA-F]+$/.test(token)) {
      throw new Error(`${quoted(token)} is not hex. ${EXAMPLE}`);
    }
    if (token.length % 2 !== 0) {
      throw new Error(`${quoted(token)} has an odd number of hex digits. ${EXAMPLE}`);
    }
    for (let i = 0; i < token.length; i += 2) {
      bytes.push(parseInt(token.slice(i, i + 2), 16));
    }
  }
  return Uint8Array.from(bytes);
}

export function hexFromBytes(bytes) {
  return Array.from(bytes, (b) => b.toString(16).toUpperCase().padStart(2, '0')).join(' ');
}

function sameBytes(a, b) {
  return a.length === b.length && a.every((byte, i) => byte === b[i]);
}

export class SendBox {
  // `input` is the box; `hexToggle` a checkbox; `lineEnd` a <select> of LINE_ENDS' keys, or
  // null where the channel has none.
  constructor(input, hexToggle, lineEnd, limit) {
    this.input = input;
    this.hexToggle = hexToggle;
    this.lineEnd = lineEnd;
    this.limit = limit;
    this.hexMode = false;
    this.history = [];
    this.browsing = -1; // the entry shown, or -1 while the user's own text is
    this.draft = ''; // what was being typed when browsing started
    this.input.maxLength = limit;
    input.addEventListener('keydown', (event) => {
      if ((event.key === 'ArrowUp' || event.key === 'ArrowDown') && !event.altKey &&
        !event.ctrlKey && !event.metaKey && !event.shiftKey) {
        event.preventDefault();
        this.browse(event.key === 'ArrowUp' ? -1 : 1);
      }
    });
  }

  shown(bytes) {
    return this.hexMode ? hexFromBytes(bytes) : textFromBytes(bytes);
  }

  // Shows the box's bytes the other way. Throws the reason, with nothing changed, when the
  // hex cannot be read or does not fit a text box.
  setHexMode(hex) {
    if (hex === this.hexMode) {
      return;
    }
    const bytes = hex ? ansiFromText(this.input.value) : parseHex(this.input.value);
    if (!hex && bytes.length > this.limit) {
      throw new Error(`The box holds ${bytes.length} bytes; as text it can hold ` +
              `${this.limit}. Nothing was changed.`);
    }
    const before = this.input.value;
    this.input.maxLength = this.limit * HEX_CHARS_PER_BYTE;
    this.hexMode = hex;
    this.input.value = this.shown(bytes);
    // A text field drops line ends from its value: such bytes stay in hex.
    if (!hex && !sameBytes(ansiFromText(this.input.value), bytes)) {
      this.hexMode = true;
      this.input.value = before;
      throw new Error('The box holds line ends (0D or 0A), which a text box cannot ' +
              'hold. Nothing was changed.');
    }
    this.input.maxLength = hex ? this.limit * HEX_CHARS_PER_BYTE : this.limit;
    this.browsing = -1;
    this.draft = '';
  }

  // The bytes a Send carries, line end included, and the box's own bytes for the history.
  // Throws the reason when the hex cannot be read or the send would be too long.
  payload() {
    const entry = this.hexMode ? parseHex(this.input.value) : ansiFromText(this.input.value);
    const end = this.lineEnd ? LINE_ENDS[this.lineEnd.value] : [];
    const bytes = Uint8Array.from([...entry, ...end]);
    if (bytes.length > this.limit) {
      throw new Error(`This send is ${bytes.length} bytes` +
              (end.length ? ' with its line end; ' : '; ') +
              `one send carries at most ${this.limit}. Nothing was sent.`);
    }
    return { bytes, entry };
  }

  // Adds what was sent (without its line end), unless it equals the newest entry.
  remember(entry) {
    const newest = this.history[this.history.length - 1];
    if (!newest || !sameBytes(newest, entry)) {
      this.history.push(entry);
      if (this.history.length > HISTORY_SIZE) {
        this.history.shift();
      }
    }
    this.browsing = -1;
    this.draft = '';
  }

  browse(step) {
    const size = this.history.length;
    if (this.browsing < 0) {
      if (step > 0 || size === 0) {
        return;
      }
      this.draft = this.input.value;
      this.browsing = size;
      // The box still shows what was just sent: Up goes to the entry before it.
      if (size > 1 && this.input.value === this.shown(this.history[size - 1])) {
        this.browsing = size - 1;
      }
    }
    const next = this.browsing + step;
    if (next < 0) {
      return; // the oldest entry stays
    }
    if (next >= size) {
      this.browsing = -1;
      this.input.value = this.draft;
      return;
    }
    this.browsing = next;
    this.input.value = this.shown(this.history[next]);
  }
}
