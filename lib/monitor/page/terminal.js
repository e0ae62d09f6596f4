// The terminal pane: the port's bytes as text in a chosen encoding, or as hex, with a bounded scroll-back.

const maxLines = 5000;
const hexWidth = 16;

const clock = (t) => new Date(t).toISOString().slice(11, 23);

// ASCII shows what is not ASCII as the replacement character; TextDecoder
// knows only its own labels (latin1 is windows-1252 there).
function decoderFor(encoding) {
  if (encoding === 'ascii') {
    return { decode: (bytes) => Array.from(bytes, (b) => (b < 0x80 ? String.fromCharCode(b) : '\ufffd')).join('') };
  }
  return new TextDecoder(encoding === 'latin1' ? 'windows-1252' : 'utf-8');
}

export class Terminal {
  #pre;
  #counter;
  #options = { view: 'text', encoding: 'utf-8', ending: 'lf', timestamps: false };
  #decoder = decoderFor('utf-8');
  #partial = ''; // the line not yet ended
  #partialAt = 0; // when it began
  #hexRow = [];
  #hexAt = 0;
  #ready = []; // ended lines not yet shown
  #chunks = []; // [text node, lines in it] as shown, oldest first
  #shown = 0;
  #tail;
  #paused = false;
  #scheduled = false;
  bytes = 0;

  constructor(pre, counter) {
    this.#pre = pre;
    this.#counter = counter;
    this.#tail = document.createElement('div');
    pre.append(this.#tail);
  }

  // Changes apply to the bytes that come from now on.
  configure(options) {
    const encodingChanged = options.encoding && options.encoding !== this.#options.encoding;
    Object.assign(this.#options, options);
    if (encodingChanged) this.#decoder = decoderFor(this.#options.encoding);
  }

  set paused(value) {
    this.#paused = value;
    if (!value) this.#schedule();
  }

  // What the pane shows, a line a line.
  get text() {
    return [...this.#pre.children].map((block) => block.textContent).join('\n');
  }

  push(bytes, t) {
    this.bytes += bytes.length;
    if (this.#options.view === 'hex') this.#pushHex(bytes, t);
    else this.#pushText(this.#decoder.decode(bytes, { stream: true }), t);
    this.#schedule();
  }

  #line(text, t) {
    this.#ready.push(this.#options.timestamps ? `${clock(t)}  ${text}` : text);
    // Lines that pile up while paused are bounded as the screen is.
    if (this.#ready.length > maxLines) this.#ready.splice(0, this.#ready.length - maxLines);
  }

  #pushText(text, t) {
    if (this.#partial === '') this.#partialAt = t;
    const { ending } = this.#options;
    const mark = ending === 'cr' ? '\r' : ending === 'crlf' ? '\r\n' : '\n';
    const parts = (this.#partial + text).split(mark);
    this.#partial = parts.pop();
    for (const part of parts) {
      this.#line(ending === 'lf' ? part.replace(/\r/g, '') : part, this.#partialAt);
      this.#partialAt = t;
    }
  }

  #pushHex(bytes, t) {
    for (const byte of bytes) {
      if (this.#hexRow.length === 0) this.#hexAt = t;
      this.#hexRow.push(byte);
      if (this.#hexRow.length === hexWidth) {
        this.#line(hexLine(this.#hexRow), this.#hexAt);
        this.#hexRow = [];
      }
    }
  }

  clear() {
    for (const [node] of this.#chunks) node.remove();
    this.#chunks = [];
    this.#shown = 0;
    this.#ready = [];
    this.#partial = '';
    this.#hexRow = [];
    this.#tail.textContent = '';
    this.bytes = 0;
    this.#counter.textContent = '';
  }

  #schedule() {
    if (this.#scheduled || this.#paused) return;
    this.#scheduled = true;
    requestAnimationFrame(() => {
      this.#scheduled = false;
      if (!this.#paused) this.#render();
    });
  }

  // Once a frame at most: the new lines as one block of their own, so that
  // the browser lays out only them (and, as the style says, skips the blocks
  // out of sight), the oldest blocks dropped past the scroll-back, the view
  // kept at the bottom if it was.
  #render() {
    const pre = this.#pre;
    const atBottom = pre.scrollTop + pre.clientHeight >= pre.scrollHeight - 4;
    if (this.#ready.length > 0) {
      const node = document.createElement('div');
      node.textContent = this.#ready.join('\n');
      pre.insertBefore(node, this.#tail);
      this.#chunks.push([node, this.#ready.length]);
      this.#shown += this.#ready.length;
      this.#ready = [];
      while (this.#shown - this.#chunks[0][1] >= maxLines) {
        const [old, count] = this.#chunks.shift();
        old.remove();
        this.#shown -= count;
      }
    }
    const rest = this.#options.view === 'hex' && this.#hexRow.length > 0 ? hexLine(this.#hexRow) : this.#partial;
    const tail = this.#options.timestamps && rest ? `${clock(this.#partialAt)}  ${rest}` : rest;
    if (this.#tail.textContent !== tail) this.#tail.textContent = tail;
    this.#counter.textContent = `${this.bytes} bytes`;
    if (atBottom) pre.scrollTop = pre.scrollHeight;
  }
}

function hexLine(bytes) {
  const hex = bytes.map((b) => b.toString(16).padStart(2, '0')).join(' ');
  const shown = bytes.map((b) => (b >= 0x20 && b < 0x7f ? String.fromCharCode(b) : '.')).join('');
  return `${hex.padEnd(hexWidth * 3 - 1)}  ${shown}`;
}
