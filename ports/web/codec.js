// How a save is kept in the browser's storage: packed, as a board is mostly
// black with lines. A record is { size, row, packed }: the file's length,
// the length of its pixel rows, and the tokens below.
//
// Tokens: varint 4n + 1 copies n bytes from 3 back (a run of one pixel),
// 4n + 2 copies n bytes from `row` back (a row like the one above), 4n takes
// the next n bytes as they are. Packing never makes more than 5 bytes more
// than it was given.

// The row size of a BMP's pixels, or 0 if it is not a BMP with a 40-byte
// (or longer) header.
export function rowBytes(b) {
  if (b.length < 54 || b[0] !== 0x42 || b[1] !== 0x4d) return 0;
  const view = new DataView(b.buffer, b.byteOffset, b.byteLength);
  if (view.getUint32(14, true) < 40) return 0;
  const w = Math.abs(view.getInt32(18, true)), bits = view.getUint16(28, true);
  return Math.floor((w * bits + 31) / 32) * 4;
}

// Packing works in this, kept from one save to the next: F1 held packs a
// save on every pass that changed the board.
let scratch = new Uint8Array(0);

function pack(b, row) {
  if (scratch.length < b.length + 16) scratch = new Uint8Array(b.length + 16);
  const out = scratch;
  let o = 0, literal = 0, i = 0;
  const varint = v => { while (v > 127) { out[o++] = (v % 128) | 128; v = Math.floor(v / 128); } out[o++] = v; };
  const flush = end => {
    if (end === literal) return;
    varint((end - literal) * 4);
    out.set(b.subarray(literal, end), o);
    o += end - literal;
  };
  while (i < b.length) {
    let best = 0, kind = 0;
    if (i >= 3) {
      let j = i;
      while (j < b.length && b[j] === b[j - 3]) j++;
      best = j - i;
      kind = 1;
    }
    if (row && i >= row && best < 64) {
      let j = i;
      while (j < b.length && b[j] === b[j - row]) j++;
      if (j - i > best) { best = j - i; kind = 2; }
    }
    if (best >= 8) {
      flush(i);
      varint(best * 4 + kind);
      i += best;
      literal = i;
    } else {
      i++;
    }
  }
  flush(b.length);
  return out.slice(0, o);
}

// What the store keeps of `bytes`.
export function recordOf(bytes) {
  const row = rowBytes(bytes);
  return { size: bytes.length, row, packed: pack(bytes, row) };
}

// The tokens of `packed`, each as [kind, n, at] (`at`: where a literal's
// bytes start), or null at the first one that is not what pack() makes: a
// varint of more than 7 bytes, an empty or unknown token, a literal past
// the end, a copy from before the start, or more than `size` bytes in all.
function tokens(packed, size, row) {
  const list = [];
  let i = 0, o = 0;
  while (i < packed.length) {
    let v = 0, scale = 1, c, length = 0;
    do {
      if (i >= packed.length || ++length > 7) return null;
      c = packed[i++];
      v += (c & 127) * scale;
      scale *= 128;
    } while (c & 128);
    const n = Math.floor(v / 4), kind = v % 4, back = kind === 1 ? 3 : row;
    if (n === 0 || kind === 3 || n > size - o) return null;
    if (kind === 0 ? n > packed.length - i : !back || back > o) return null;
    list.push([kind, n, i]);
    if (kind === 0) i += n;
    o += n;
  }
  return o === size ? list : null;
}

// Puts the bytes of the tokens `list` together in `out`, as far as it is
// long: a record's whole file, or its first bytes.
function expand(list, packed, row, out) {
  let o = 0;
  for (const [kind, n, at] of list) {
    if (o >= out.length) break;
    const m = Math.min(n, out.length - o);
    if (kind === 0) {
      out.set(packed.subarray(at, at + m), o);
    } else {
      const back = kind === 1 ? 3 : row;
      // A copy from far enough back is one block; a nearer one repeats.
      if (back >= m) out.copyWithin(o, o - back, o - back + m);
      else for (let k = o; k < o + m; k++) out[k] = out[k - back];
    }
    o += m;
  }
}

// The file a record holds, or null if it is not one pack() made of at most
// `most` bytes, or if `headerReads(first bytes, size)` turns its first
// `headerMost` bytes down. Whatever a record claims, nothing is made for
// it until its shape and every one of its tokens have been checked, in
// time that grows with the bytes it holds, and its whole file is put
// together only once its header has passed.
export function unpack(record, most, headerReads, headerMost) {
  if (!record || typeof record !== 'object') return null;
  const { size, row, packed } = record;
  if (!Number.isSafeInteger(size) || size < 1 || size > most || !Number.isSafeInteger(row) || row < 0 ||
      !(packed instanceof Uint8Array) || packed.length > size + 16)
    return null;
  const list = tokens(packed, size, row);
  if (!list) return null;
  const head = new Uint8Array(Math.min(size, headerMost));
  expand(list, packed, row, head);
  if (!headerReads(head, size)) return null;
  const out = new Uint8Array(size);
  expand(list, packed, row, out);
  return out;
}
