// The plotter's reading of a line: the common microcontroller formats of numbers, named or not.

const number = /^[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?$/;
const named = /^([^\s:=,;]+)[:=]([^\s:=,;]+)$/;

// `1.5 2 3`, `1.5,2,3`, `1.5;2;3` and `temp:21.5 hum:40` (also `temp=21.5`,
// `temp: 21.5, hum: 40`), mixed freely: an array of [name, value], where an
// unnamed value is named after its place in the line ("1", "2", ...). A line
// with anything else in it (a boot message, say) is no data: null.
export function parseLine(line) {
  const text = line.trim().replace(/([:=])\s+/g, '$1');
  if (text === '') return null;
  const fields = text.split(/[\s,;]+/).filter(Boolean);
  const values = [];
  for (let i = 0; i < fields.length; i++) {
    const field = fields[i];
    if (number.test(field)) {
      values.push([String(i + 1), Number(field)]);
      continue;
    }
    const match = named.exec(field);
    if (!match || !number.test(match[2])) return null;
    values.push([match[1], Number(match[2])]);
  }
  return values;
}

// Splits a stream of text into lines at LF (a CR before it is dropped),
// keeping the unfinished end for the next piece.
export class LineSplitter {
  #rest = '';

  push(text) {
    const parts = (this.#rest + text).split('\n');
    this.#rest = parts.pop();
    // A line that never ends would grow without bound; a device that sends
    // no LF at all has nothing to plot.
    if (this.#rest.length > 4096) this.#rest = '';
    return parts.map((part) => (part.endsWith('\r') ? part.slice(0, -1) : part));
  }
}
