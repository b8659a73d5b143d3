// A read-only view of the bytes the board sent on one channel. Bytes are taken in batches,
// at most once a frame, into a bounded store; rows over it are indexed as bytes arrive and
// turned into text only when they are drawn, copied or searched. Only the rows in sight are
// elements, so the page stays fast however much traffic comes. Rows follow the desktop's
// view: CR, LF and CR LF end a line, a zero byte adds nothing, a long line folds, and every
// other byte shows as one character (a control byte as its picture), always as text.
import { codeFromAnsi, shownCode } from './ansi.js';

// The view keeps at least this many of the most recent bytes; once it holds TRIM_AT, the
// oldest are dropped in one go down to SCROLL_BACK.
export const SCROLL_BACK = 32767;
export const TRIM_AT = 49152;
const FOLD_AT = 1024; // a longer line goes on in the next row
const HEX_ROW = 16; // bytes per row in hex
const STAMP_WIDTH = 13; // "HH:MM:SS.mmm "
const OVERSCAN = 10; // rows drawn beyond those in sight, so a scroll shows no gap
const FOLDED = 1; // the row continues the one before
const NOTE = 2; // the row says what was passed over while paused
const CR = 0x0d;
const LF = 0x0a;

const isLineEnd = (byte) => byte === CR || byte === LF;
// The first entry of `list` (ordered by pos) at or after `pos`.
function lowerBound(list, pos) {
  let low = 0;
  let high = list.length;
  while (low < high) {
    const mid = (low + high) >> 1;
    if (list[mid].pos < pos) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low;
}
const pad = (value, digits) => String(value).padStart(digits, '0');

export class TrafficView {
  // `view` is the scrolling element; `status` a live region for find and copy results.
  constructor(view, status) {
    this.view = view;
    this.status = status;
    this.rowsEl = view.appendChild(document.createElement('div'));
    this.rowsEl.className = 'rows';
    // One character of the rows' font, measured: rows stand a whole number of pixels apart,
    // so a row's place is the same however far down the view it is.
    this.probe = view.appendChild(document.createElement('div'));
    this.probe.className = 'row probe';
    this.probe.setAttribute('aria-hidden', 'true');
    this.probe.appendChild(document.createElement('span')).textContent = '0';
    this.lineHeight = 16;
    this.charWidth = 8;
    this.hexMode = false;
    this.stamps = 'off'; // 'off', 'line' or 'chunk'
    this.paused = false;
    this.following = true;
    this.received = 0; // bytes taken since Clear, shown or not
    this.sent = 0;
    this.match = null; // the find result: {row (its number), column, length}
    this.allSelected = false;
    this.rendered = new Map(); // row number -> element
    this.base = 0; // store position of buf[0]
    this.len = 0;
    this.rows = [];
    this.rowBase = 0; // rows dropped from the front since the start
    this.clear();
    view.addEventListener('scroll', () => {
      // Following the newest row ends when the user scrolls up, and starts again at the end.
      this.following = this.atEnd();
      this.render();
    });
    // Another font size changes the rows' height; a view shown again after its tab was hidden
    // has lost its place.
    new ResizeObserver(() => this.measure()).observe(this.probe);
    new ResizeObserver(() => this.layout()).observe(view);
    this.measure();
  }

  clear() {
    // Store positions go on counting; offsets shown in hex start again at 0.
    this.base += this.len;
    this.buf = new Uint8Array(2 * TRIM_AT);
    this.len = 0;
    this.marks = []; // {pos, offset, ms}: a received batch's start, offset and arrival
    this.notes = []; // {pos, skipped}
    this.pending = []; // batches taken while paused: {bytes, offset, ms}
    this.pendingBytes = 0;
    this.pendingDropped = 0;
    this.droppedWhilePaused = false;
    this.received = 0;
    this.sent = 0;
    this.match = null;
    this.allSelected = false;
    this.reindex();
  }

  get storeEnd() {
    return this.base + this.len;
  }

  // Bytes the board sent, taken now. Kept while paused, within the same bound.
  append(bytes) {
    if (bytes.length === 0) {
      return;
    }
    this.pending.push({ bytes, offset: this.received, ms: Date.now() });
    this.pendingBytes += bytes.length;
    this.received += bytes.length;
    if (this.pendingBytes > TRIM_AT) {
      // Keep the newest, count what went.
      let cut = this.pendingBytes - SCROLL_BACK;
      this.pendingDropped += cut;
      this.pendingBytes = SCROLL_BACK;
      while (cut >= this.pending[0].bytes.length) {
        cut -= this.pending.shift().bytes.length;
      }
      const first = this.pending[0];
      first.bytes = first.bytes.subarray(cut);
      first.offset += cut;
      this.droppedWhilePaused ||= this.paused;
    }
  }

  // Shows what waits (nothing while paused); the page calls it once a frame.
  flush() {
    if (this.paused || (this.pending.length === 0 && this.pendingDropped === 0)) {
      return;
    }
    const batches = this.pending;
    const dropped = this.pendingDropped;
    const whilePaused = this.droppedWhilePaused;
    this.pending = [];
    this.pendingBytes = 0;
    this.pendingDropped = 0;
    this.droppedWhilePaused = false;
    if (dropped > 0 && !whilePaused) {
      // The batches lost their start: what the store holds is older still, and kept
      // beside them it would hide the gap. The batches alone are the newest bytes.
      this.base = this.storeEnd;
      this.len = 0;
      this.marks = [];
      this.notes = [];
      this.dropRows(this.rows.length);
      this.match = null;
    } else if (dropped > 0) {
      // Passed over while paused: say so where it happened.
      this.notes.push({ pos: this.storeEnd, skipped: dropped });
      this.closeRow();
      this.rows.push({ start: this.storeEnd, length: 0, flags: NOTE });
      this.lastWasCr = false;
    }
    const from = this.storeEnd;
    const firstChanged = Math.max(0, this.rows.length - 1);
    for (const batch of batches) {
      this.marks.push({ pos: this.storeEnd, offset: batch.offset, ms: batch.ms });
      this.buf.set(batch.bytes, this.len);
      this.len += batch.bytes.length;
    }
    this.indexFrom(from, false);
    this.forget(this.rowBase + firstChanged);
    this.trim();
    this.layout();
  }

  setHexMode(hex) {
    if (hex !== this.hexMode) {
      this.hexMode = hex;
      this.reindex();
    }
  }

  setStamps(mode) {
    if (mode !== this.stamps) {
      this.stamps = mode;
      this.reindex();
    }
  }

  setPaused(paused) {
    this.paused = paused;
    this.flush();
  }

  // Rows ------------------------------------------------------------------------------------

  closeRow() {
    if (this.rowOpen) {
      this.maxChars = Math.max(this.maxChars, this.openChars);
    }
    this.rowOpen = false;
    this.openChars = 0;
  }

  indexFrom(from, withNotes) {
    let mark = lowerBound(this.marks, from);
    let note = withNotes ? lowerBound(this.notes, from) : this.notes.length;
    const chunkRows = this.stamps === 'chunk';
    const rows = this.rows;
    const end = this.storeEnd;
    for (let pos = from; pos <= end; ++pos) {
      for (; note < this.notes.length && this.notes[note].pos === pos; ++note) {
        this.closeRow();
        rows.push({ start: pos, length: 0, flags: NOTE });
        this.lastWasCr = false;
      }
      if (pos === end) {
        break;
      }
      let chunkStart = false;
      if (mark < this.marks.length && this.marks[mark].pos === pos) {
        chunkStart = true;
        ++mark;
      }
      if (chunkRows && chunkStart) {
        this.closeRow();
      }
      const byte = this.buf[pos - this.base];
      if (this.hexMode) {
        if (this.rowOpen && rows[rows.length - 1].length === HEX_ROW) {
          this.closeRow();
        }
        if (!this.rowOpen) {
          rows.push({ start: pos, length: 0, flags: 0 });
          this.rowOpen = true;
        }
        ++rows[rows.length - 1].length;
        continue;
      }
      // A zero byte adds nothing; it stays with the row it came in, also between CR and LF.
      if (byte === 0 && !this.rowOpen && this.lastWasCr && !chunkStart) {
        ++rows[rows.length - 1].length;
        continue;
      }
      // CR, LF and CR LF end one line each, also when the pair comes in two batches.
      if (byte === LF && this.lastWasCr && rows.length > 0) {
        ++rows[rows.length - 1].length;
        this.lastWasCr = false;
        continue;
      }
      if (byte !== 0) {
        this.lastWasCr = byte === CR;
      }
      const lineEnd = isLineEnd(byte);
      if (this.rowOpen && !lineEnd && byte !== 0 && this.openChars === FOLD_AT) {
        this.closeRow();
        rows.push({ start: pos, length: 0, flags: FOLDED });
        this.rowOpen = true;
      }
      if (!this.rowOpen) {
        rows.push({ start: pos, length: 0, flags: 0 });
        this.rowOpen = true;
      }
      ++rows[rows.length - 1].length;
      if (lineEnd) {
        this.closeRow();
      } else if (byte !== 0) {
        ++this.openChars;
      }
    }
  }

  // Rows dropped from the front keep their numbers: a row's number is rowBase + index.
  dropRows(count) {
    this.rows.splice(0, count);
    this.rowBase += count;
    if (this.rows.length === 0) {
      this.rowOpen = false;
      this.openChars = 0;
      this.lastWasCr = false;
    }
  }

  reindex() {
    this.rowBase += this.rows.length;
    this.rows = [];
    this.rowOpen = false;
    this.openChars = 0;
    this.lastWasCr = false;
    this.maxChars = 0;
    this.match = null;
    this.indexFrom(this.base, true);
    this.forget(0);
    this.following = true;
    this.layout();
  }

  trim() {
    // Drop the oldest bytes in large pieces, so trimming is rare.
    if (this.len <= TRIM_AT) {
      return;
    }
    const newBase = this.storeEnd - SCROLL_BACK;
    this.buf.copyWithin(0, newBase - this.base, this.len);
    this.len = SCROLL_BACK;
    this.base = newBase;
    let drop = 0;
    for (const row of this.rows) {
      const gone = row.flags & NOTE ? row.start < newBase : row.start + row.length <= newBase;
      if (!gone) {
        break;
      }
      ++drop;
    }
    this.dropRows(drop);
    if (!this.following) {
      // The rows in sight stay in sight.
      this.view.scrollTop -= drop * this.lineHeight;
    }
    const first = this.rows[0];
    if (first && !(first.flags & NOTE) && first.start < newBase) {
      first.length -= newBase - first.start;
      first.start = newBase;
      this.forget(this.rowBase);
    }
    while (this.marks.length > 1 && this.marks[1].pos <= newBase) {
      this.marks.shift();
    }
    if (this.marks.length && this.marks[0].pos < newBase) {
      this.marks[0].offset += newBase - this.marks[0].pos;
      this.marks[0].pos = newBase;
    }
    while (this.notes.length && this.notes[0].pos < newBase) {
      this.notes.shift();
    }
    if (this.match && this.match.row < this.rowBase) {
      this.match = null;
    }
  }

  // The batch that brought the byte at `pos`.
  markAt(pos) {
    const after = lowerBound(this.marks, pos + 1);
    return after === 0 ? { pos: 0, offset: 0, ms: 0 } : this.marks[after - 1];
  }

  // Whether row `index` starts a received batch, for stamps "At Each Received Chunk".
  chunkStartsAt(index) {
    const row = this.rows[index];
    const mark = this.markAt(row.start);
    if (mark.pos === row.start) {
      return true;
    }
    // The batch began with the LF of a CR LF, which ended the row before.
    return index > 0 && mark.pos + 1 === row.start && this.rows[index - 1].start < mark.pos &&
      mark.pos >= this.base && this.buf[mark.pos - this.base] === LF;
  }

  // Eight hex digits of offset, more once the bytes since Clear need them.
  offsetDigits() {
    const mark = this.markAt(this.storeEnd);
    const newest = mark.offset + (this.storeEnd - mark.pos);
    return Math.max(8, Math.ceil(newest.toString(16).length / 4) * 4);
  }

  rowText(index) {
    const row = this.rows[index];
    if (row.flags & NOTE) {
      const note = this.notes.find((n) => n.pos >= row.start);
      return `[\u2026 ${note ? note.skipped : 0} bytes not shown while paused \u2026]`;
    }
    let out = '';
    const mark = this.markAt(row.start);
    if (this.stamps !== 'off') {
      // The arrival of the row's first byte, as the time of day.
      const stamped = this.stamps === 'chunk' ? this.chunkStartsAt(index)
        : !(row.flags & FOLDED);
      if (stamped) {
        const t = new Date(mark.ms);
        out += `${pad(t.getHours(), 2)}:${pad(t.getMinutes(), 2)}:` +
          `${pad(t.getSeconds(), 2)}.${pad(t.getMilliseconds(), 3)} `;
      } else {
        out += ' '.repeat(STAMP_WIDTH);
      }
    }
    const data = this.buf.subarray(row.start - this.base, row.start - this.base + row.length);
    if (this.hexMode) {
      // Offset among the bytes received since Clear, the bytes, then the printable ones.
      const offset = mark.offset + (row.start - mark.pos);
      out += offset.toString(16).toUpperCase().padStart(this.offsetDigits(), '0') + '  ';
      for (let i = 0; i < HEX_ROW; ++i) {
        out += i < data.length ? data[i].toString(16).toUpperCase().padStart(2, '0') + ' '
          : '   ';
      }
      out += ' ';
      for (const byte of data) {
        out += byte >= 0x20 && byte < 0x7f ? String.fromCharCode(byte) : '.';
      }
      return out;
    }
    const codes = [];
    for (const byte of data) {
      if (byte !== 0 && !isLineEnd(byte)) {
        codes.push(shownCode(codeFromAnsi(byte)));
      }
    }
    // At most FOLD_AT characters: one call takes them all.
    return out + String.fromCharCode(...codes);
  }

  // Every row held, as shown (stamps, hex, notes), joined by "\n".
  shownText() {
    this.flush();
    return this.rows.map((_, i) => this.rowText(i)).join('\n');
  }

  // Drawing ---------------------------------------------------------------------------------

  measure() {
    const height = Math.ceil(this.probe.getBoundingClientRect().height);
    this.charWidth = this.probe.firstChild.getBoundingClientRect().width || this.charWidth;
    if (height > 0 && height !== this.lineHeight) {
      this.lineHeight = height;
      this.forget(0);
      this.layout();
    }
  }

  atEnd() {
    const view = this.view;
    return view.scrollTop + view.clientHeight >= view.scrollHeight - this.lineHeight / 2;
  }

  // Drops the drawn rows from row number `from` on, so they are drawn again.
  forget(from) {
    for (const [number, element] of this.rendered) {
      if (number >= from) {
        element.remove();
        this.rendered.delete(number);
      }
    }
  }

  layout() {
    const prefix = this.stamps === 'off' ? 0 : STAMP_WIDTH;
    const columns = prefix + (this.hexMode ? this.offsetDigits() + 2 + 4 * HEX_ROW + 1
      : Math.max(this.maxChars, this.openChars));
    this.rowsEl.style.height = `${this.rows.length * this.lineHeight}px`;
    this.rowsEl.style.width = `${columns + 1}ch`;
    if (this.following) {
      this.view.scrollTop = this.view.scrollHeight;
    }
    this.render();
  }

  render() {
    const h = this.lineHeight;
    const first = Math.max(0, Math.floor(this.view.scrollTop / h) - OVERSCAN);
    const last = Math.min(this.rows.length,
      Math.ceil((this.view.scrollTop + this.view.clientHeight) / h) + OVERSCAN);
    for (const [number, element] of this.rendered) {
      const index = number - this.rowBase;
      if (index < first || index >= last) {
        element.remove();
        this.rendered.delete(number);
      }
    }
    // The rows drawn are always one run: new ones go before it or after it, so the elements
    // stay in the rows' order, as a selection and a screen reader read them.
    const before = this.rowsEl.firstChild;
    const lowest = this.rendered.size ? Math.min(...this.rendered.keys()) : Infinity;
    for (let index = first; index < last; ++index) {
      const number = this.rowBase + index;
      if (this.rendered.has(number)) {
        continue;
      }
      const element = document.createElement('div');
      element.className = this.rows[index].flags & NOTE ? 'row note' : 'row';
      element.style.top = `${index * h}px`;
      const text = this.rowText(index);
      const match = this.match;
      if (match && match.row === number) {
        // Board text goes in as text nodes, the match in a <mark> of its own.
        const found = document.createElement('mark');
        found.textContent = text.slice(match.column, match.column + match.length);
        element.append(text.slice(0, match.column), found,
          text.slice(match.column + match.length));
      } else {
        element.textContent = text;
      }
      this.rowsEl.insertBefore(element, number < lowest ? before : null);
      this.rendered.set(number, element);
    }
    this.view.classList.toggle('all-selected', this.allSelected);
  }

  // Shows row `index` (and its column), scrolling as little as needed.
  showRow(index, column) {
    const view = this.view;
    const top = index * this.lineHeight;
    if (top < view.scrollTop || top + this.lineHeight > view.scrollTop + view.clientHeight) {
      view.scrollTop = top - view.clientHeight / 2;
    }
    const x = column * this.charWidth;
    if (x < view.scrollLeft || x > view.scrollLeft + view.clientWidth * 0.9) {
      view.scrollLeft = Math.max(0, x - view.clientWidth / 2);
    }
    this.following = this.atEnd();
  }

  // Find, select, copy ----------------------------------------------------------------------

  // Searches from the current match (or the rows in sight), once round, wrapping at either
  // end, ignoring case. Shows and returns whether something matched.
  findNext(what, backwards = false) {
    this.flush();
    const count = this.rows.length;
    this.allSelected = false;
    if (what === '' || count === 0) {
      this.say(what === '' ? '' : 'Not found');
      return false;
    }
    const needle = what.toLowerCase();
    const match = this.match && this.match.row >= this.rowBase ? this.match : null;
    let startRow;
    let startColumn;
    if (match) {
      startRow = Math.min(match.row - this.rowBase, count - 1);
      startColumn = backwards ? match.column - 1 : match.column + 1;
    } else {
      const top = Math.floor(this.view.scrollTop / this.lineHeight);
      startRow = Math.min(count - 1, backwards
        ? top + Math.floor(this.view.clientHeight / this.lineHeight) : top);
      startColumn = backwards ? Infinity : 0;
    }
    for (let step = 0; step <= count; ++step) {
      const index = backwards ? (((startRow - step) % count) + count) % count
        : (startRow + step) % count;
      const text = this.rowText(index).toLowerCase();
      let found;
      if (backwards) {
        const before = step === 0 ? Math.min(startColumn, text.length - 1) : text.length - 1;
        found = before < 0 ? -1 : text.lastIndexOf(needle, before);
      } else {
        found = text.indexOf(needle, step === 0 ? startColumn : 0);
      }
      if (found >= 0) {
        const old = this.match;
        this.match = { row: this.rowBase + index, column: found, length: what.length };
        this.forget(old ? old.row : Infinity);
        this.forget(this.match.row);
        this.showRow(index, found);
        this.render();
        this.say(`Found in row ${index + 1} of ${count}`);
        return true;
      }
    }
    this.say('Not found');
    return false;
  }

  selectAll() {
    this.allSelected = true;
    window.getSelection().removeAllRanges();
    this.render();
  }

  // The text Copy takes: what the user selected in the view, the match found, or, with
  // neither (or after Select All), every row held.
  copyText() {
    const selection = window.getSelection();
    if (!this.allSelected && selection && !selection.isCollapsed &&
      this.view.contains(selection.anchorNode) && this.view.contains(selection.focusNode)) {
      return selection.toString();
    }
    if (!this.allSelected && this.match) {
      const index = this.match.row - this.rowBase;
      return this.rowText(index).slice(this.match.column,
        this.match.column + this.match.length);
    }
    return this.shownText();
  }

  async copy() {
    const text = this.copyText();
    try {
      await navigator.clipboard.writeText(text);
      this.say(`Copied ${text.length} characters`);
    } catch (error) {
      this.say(`Nothing was copied: ${error.message}`);
    }
  }

  say(text) {
    this.status.textContent = text;
  }
}
