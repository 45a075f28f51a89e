// The board's canvas: the rows the game sends, painted as they come, and
// the canvas laid out as large as fits beside the touch keys.
const canvas = document.getElementById('board');
const context = canvas.getContext('2d', { alpha: false });
let image = null;

// Rows from `top` on, of a board `w` pixels wide and `h` high, as RGBA.
// Whether it was the first time anything was painted.
export function paint(rows, w, h, top) {
  const first = !image;
  if (!image || image.width !== w || image.height !== h) {
    canvas.width = w;
    canvas.height = h;
    image = context.createImageData(w, h);
    fit();
  }
  image.data.set(rows, top * w * 4);
  context.putImageData(image, 0, 0, 0, top, w, rows.length / (w * 4));
  return first;
}

export function focus() { canvas.focus(); }

// At 1x and above the largest whole multiple, crisp, as the board's pixels
// are the picture; below 1x (a phone) smoothly smaller.
export function fit() {
  const play = document.getElementById('play'), pads = document.getElementById('pads');
  // The viewport's own size: the window's may count a board wider than it.
  const width = document.documentElement.clientWidth, height = document.documentElement.clientHeight;
  const shown = !pads.hidden, side = shown && width > height;
  play.classList.toggle('side', side);
  const key = Math.max(40, Math.min(64, Math.floor(Math.min(width, height) / 9)));
  play.style.setProperty('--key', key + 'px');
  const pad = 3 * key + 8, row = shown ? pads.querySelector('.row').offsetHeight + 8 : 0;
  const top = play.getBoundingClientRect().top + window.scrollY;
  const room = width - 16 - (side ? 2 * pad : 0);
  const high = height - top - 8 - (shown ? row + (side ? 0 : pad) : 0);
  let scale = Math.min(room / canvas.width, high / canvas.height);
  scale = scale >= 1 ? Math.floor(scale) : Math.max(scale, 0.2);
  canvas.classList.toggle('small', scale < 1);
  canvas.style.width = Math.floor(canvas.width * scale) + 'px';
  canvas.style.height = Math.floor(canvas.height * scale) + 'px';
}
window.addEventListener('resize', fit);
