// The board's text is single-byte ANSI (Windows-1252): one byte, one character, both ways,
// exactly as the desktop reads and writes it.

// Windows-1252 for 0x80..0x9F; the five unassigned codes keep their Latin-1 value.
const CP1252_HIGH = [
  0x20ac, 0x0081, 0x201a, 0x0192, 0x201e, 0x2026, 0x2020, 0x2021, 0x02c6, 0x2030, 0x0160,
  0x2039, 0x0152, 0x008d, 0x017d, 0x008f, 0x0090, 0x2018, 0x2019, 0x201c, 0x201d, 0x2022,
  0x2013, 0x2014, 0x02dc, 0x2122, 0x0161, 0x203a, 0x0153, 0x009d, 0x017e, 0x0178,
];
const HIGH_BYTE = new Map(CP1252_HIGH.map((code, i) => [code, 0x80 + i]));

// The character code a byte stands for.
export function codeFromAnsi(byte) {
  return byte >= 0x80 && byte < 0xa0 ? CP1252_HIGH[byte - 0x80] : byte;
}

// How a view draws a character of the board's text that is not a line end: a control
// character as its picture (ESC as U+241B), DEL as U+2421, the five C1 codes Windows-1252
// leaves unassigned as U+FFFD. Each still takes one column, and none can act on anything.
export function shownCode(code) {
  if (code < 0x20) {
    return 0x2400 + code;
  }
  if (code === 0x7f) {
    return 0x2421;
  }
  return code >= 0x80 && code < 0xa0 ? 0xfffd : code;
}

// One character per byte, zero bytes included, so text and bytes convert both ways.
export function textFromBytes(bytes) {
  let text = '';
  for (const byte of bytes) {
    text += String.fromCharCode(codeFromAnsi(byte));
  }
  return text;
}

// The bytes of a text, one per UTF-16 unit as the desktop's edit boxes count characters; a
// character the code page cannot hold becomes '?'.
export function ansiFromText(text) {
  const bytes = new Uint8Array(text.length);
  for (let i = 0; i < text.length; ++i) {
    const code = text.charCodeAt(i);
    if (code < 0x80 || (code >= 0xa0 && code <= 0xff)) {
      bytes[i] = code;
    } else {
      bytes[i] = HIGH_BYTE.get(code) ?? 0x3f;
    }
  }
  return bytes;
}
