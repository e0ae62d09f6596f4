// The plotter pane: named series of numbers against the time they arrived, on a uPlot chart with a sliding window.
import uPlot from './uplot/uPlot.esm.js';

// Distinct at a glance, and told apart by the tests by their pixels.
export const palette = ['#1f77b4', '#d62728', '#2ca02c', '#ff7f0e', '#9467bd', '#8c564b', '#e377c2', '#17becf'];
// What is kept for the CSV export: about three minutes at 1,000 lines a second.
const maxRows = 200000;

export class Plotter {
  #element;
  #counter;
  #chart;
  #times = [];
  #columns = []; // one array a series, aligned with #times (null where a line lacked it)
  #names = [];
  #index = new Map();
  #windowSeconds = 10;
  #paused = false;
  #autoscale = true;
  #range = [-1, 1];
  #scheduled = false;
  #droppedRows = 0;
  rows = 0; // every row ever added
  draws = []; // [rows, time] of recent redraws, for the pace bench

  constructor(element, counter) {
    this.#element = element;
    this.#counter = counter;
    this.#chart = new uPlot(this.#options(), [[]], element);
    new ResizeObserver(() => this.#chart.setSize(this.#size())).observe(element);
  }

  #size() {
    return { width: Math.max(200, this.#element.clientWidth), height: Math.max(150, this.#element.clientHeight - 40) };
  }

  #options() {
    return {
      ...this.#size(),
      series: [{ label: 'time' }],
      scales: {
        x: { time: true },
        y: { range: (u, min, max) => (this.#autoscale ? uPlot.rangeNum(min, max, 0.1, true) : this.#range) },
      },
      axes: [{}, {}],
      legend: { live: false },
      cursor: { drag: { x: false, y: false } },
    };
  }

  get names() {
    return [...this.#names];
  }

  // One line's values, as parseLine gives them, arrived at `t` (ms).
  add(values, t) {
    this.#times.push(t / 1000);
    const row = this.#times.length - 1;
    for (const [name, value] of values) {
      let column = this.#index.get(name);
      if (column === undefined) column = this.#addSeries(name, row);
      this.#columns[column][row] = value;
    }
    for (const column of this.#columns) if (column.length <= row) column.push(null);
    this.rows++;
    if (this.#times.length > maxRows + maxRows / 10) {
      const excess = this.#times.length - maxRows;
      this.#times.splice(0, excess);
      for (const column of this.#columns) column.splice(0, excess);
      this.#droppedRows += excess;
    }
    this.#schedule();
  }

  #addSeries(name, row) {
    const column = this.#columns.length;
    this.#index.set(name, column);
    this.#names.push(name);
    this.#columns.push(new Array(row).fill(null));
    this.#chart.addSeries({ label: name, stroke: palette[column % palette.length], width: 2, spanGaps: true, points: { show: false } },
      column + 1);
    return column;
  }

  set windowSeconds(value) {
    this.#windowSeconds = value;
    this.#schedule();
  }

  set paused(value) {
    this.#paused = value;
    this.#schedule();
  }

  set autoscale(value) {
    this.#autoscale = value;
    this.#schedule(true);
  }

  set range(value) {
    this.#range = value;
    this.#schedule(true);
  }

  clear() {
    this.#times = [];
    this.#columns = this.#columns.map(() => []);
    this.#droppedRows = 0;
    this.#schedule(true);
  }

  #schedule(force = false) {
    if (this.#scheduled || (this.#paused && !force)) return;
    this.#scheduled = true;
    requestAnimationFrame(() => {
      this.#scheduled = false;
      this.#render();
    });
  }

  // The rows within the window before the newest one, drawn once a frame.
  #render() {
    const times = this.#times;
    const end = times.length > 0 ? times[times.length - 1] : Date.now() / 1000;
    const start = end - this.#windowSeconds;
    let low = 0;
    let high = times.length;
    while (low < high) {
      const mid = (low + high) >> 1;
      if (times[mid] < start) low = mid + 1;
      else high = mid;
    }
    const data = [times.slice(low), ...this.#columns.map((column) => column.slice(low))];
    this.#chart.batch(() => {
      this.#chart.setData(data, false);
      this.#chart.setScale('x', { min: start, max: end });
    });
    this.draws.push([this.rows, Date.now()]);
    if (this.draws.length > 10000) this.draws.splice(0, 5000);
    this.#counter.textContent = `${this.rows} lines, ${this.#names.length} series`;
  }

  // What was received, oldest first: a time column (ISO 8601) and one a series.
  csv() {
    const quote = (text) => (/[",\n]/.test(text) ? `"${text.replace(/"/g, '""')}"` : text);
    const lines = [['time', ...this.#names].map(quote).join(',')];
    for (let row = 0; row < this.#times.length; row++) {
      const cells = this.#columns.map((column) => (column[row] === null || column[row] === undefined ? '' : String(column[row])));
      lines.push([new Date(this.#times[row] * 1000).toISOString(), ...cells].join(','));
    }
    return `${lines.join('\n')}\n`;
  }

  get droppedRows() {
    return this.#droppedRows;
  }
}
