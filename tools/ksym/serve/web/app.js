// ksym serve's page: the symbol list, the watch table with its writes, a trend per numeric
// variable and the station's state, all from the server's JSON interface. The watch table
// (its variables in their order, the trend's window, the read interval, the precisions) is
// kept in the page's address, so that a link reproduces it, and in the browser's storage, so
// that a reload keeps it.
'use strict';

const WINDOWS = [1, 5, 15, 60];          // minutes the trend may show
const KEEP_MS = 60 * 60 * 1000;          // data kept in the page: the longest window
const INTERVALS = [100, 250, 500, 1000]; // milliseconds between the values the page asks for
// The trend's time ticks: whole steps that fit the window, so that no two labels are alike.
const TICK_STEPS = {1: 10000, 5: 60000, 15: 180000, 60: 600000};
const SYMBOL_LIMIT = 200;
const STORAGE_KEY = 'ksym-serve-watch';
const REDRAW_MS = 1000;     // the trends redraw at most this often
const FRAME_BUDGET_MS = 10; // of redrawing in one animation frame; the rest waits for the next
const NO_VALUE = '(no value)';
const COLOURS = ['#1f77b4', '#d62728', '#2ca02c', '#ff7f0e', '#9467bd', '#8c564b', '#e377c2',
                 '#17becf'];

const settings = {names: [], window: 5, interval: 500, real: 7, lreal: 10};
const rows = new Map(); // name -> {row, cells, type, last, series, chart, box, visible, dirty}
// What the page received, oldest first, KEEP_MS of it: {t, parts: [[names, values]]}, one
// part per stream that brought values of that read, `names` shared by all of that stream's
// records, `values` in their order (undefined: not delivered): an hour of 100 variables
// every 100 ms stays arrays of numbers.
const records = [];
// The server takes at most this many names a request: a larger table reads through several
// streams (the server reads them together).
const NAMES_PER_STREAM = 64;
let streams = [];
let streamRetry = null;
let paused = false;
let drawnAt = 0;  // the end of the view drawn last
let pausedAt = 0; // the view's end while paused: the one shown when Pause was pressed
let chartsAvailable = false;
let restoring = false;
const redrawQueue = [];
const observer = 'IntersectionObserver' in window ? new IntersectionObserver(onVisibility) : null;
// How long the page's own work took (ms), per update of the table and per redrawing slice:
// the latest 1000, for the browser test.
window.ksymWork = [];
window.ksymCharts = new Map();

function element(tag, attributes, text) {
  const node = document.createElement(tag);
  Object.entries(attributes || {}).forEach(([key, value]) => node.setAttribute(key, value));
  if (text !== undefined) {
    node.textContent = text;
  }
  return node;
}

function query(parameters) {
  const search = new URLSearchParams();
  parameters.forEach(([key, value]) => search.append(key, value));
  return search.toString();
}

function measured(work) {
  const began = performance.now();
  work();
  window.ksymWork.push(performance.now() - began);
  if (window.ksymWork.length > 1000) {
    window.ksymWork.shift();
  }
}

// --- The table's state: address and storage ---------------------------------------------

function chosen(text, allowed, fallback) {
  const number = Number(text);
  return allowed.includes(number) ? number : fallback;
}

function digits(text, fallback) {
  const number = Number(text);
  return Number.isInteger(number) && number >= 1 && number <= 17 ? number : fallback;
}

function stateFrom(search) {
  return {
    names: search.getAll('v').filter((name) => name !== ''),
    window: chosen(search.get('w'), WINDOWS, 5),
    interval: chosen(search.get('i'), INTERVALS, 500),
    real: digits(search.get('real'), 7),
    lreal: digits(search.get('lreal'), 10),
  };
}

function stateText() {
  return query([...settings.names.map((name) => ['v', name]), ['w', settings.window],
                ['i', settings.interval], ['real', settings.real], ['lreal', settings.lreal]]);
}

// The address wins (a link someone shared), then what this browser kept.
function loadState() {
  const hash = location.hash.replace(/^#/, '');
  let text = hash;
  if (!new URLSearchParams(hash).has('v')) {
    try {
      text = localStorage.getItem(STORAGE_KEY) || hash;
    } catch (error) {
      text = hash;
    }
  }
  Object.assign(settings, stateFrom(new URLSearchParams(text)));
}

function saveState() {
  if (restoring) {
    return;
  }
  settings.names = [...rows.keys()];
  const text = stateText();
  history.replaceState(null, '', '#' + text);
  try {
    localStorage.setItem(STORAGE_KEY, text);
  } catch (error) {
    // Storage may be off; the address still holds the table.
  }
}

// --- Station -------------------------------------------------------------------------------

async function refreshStation() {
  const state = document.getElementById('state');
  try {
    const response = await fetch('/api/station');
    const station = await response.json();
    state.textContent = station.state;
    state.className = 'state ' + station.state;
    document.getElementById('station-name').textContent = station.station;
    const id = station.identification;
    document.getElementById('project').textContent =
      id ? `${id.project} ${id.version} (${id.projectId})` : '';
    document.title = id ? `ksym serve: ${id.project}` : 'ksym serve';
  } catch (error) {
    state.textContent = 'server unreachable';
    state.className = 'state broken';
  }
}

// --- Symbols -------------------------------------------------------------------------------

let filterTimer = null;

async function refreshSymbols() {
  const prefix = document.getElementById('filter').value;
  const response = await fetch('/api/symbols?' + query([['prefix', prefix], ['limit', SYMBOL_LIMIT]]));
  if (!response.ok) {
    return;
  }
  const symbols = await response.json();
  const total = Number(response.headers.get('X-Total-Count') || symbols.length);
  const list = document.getElementById('symbols');
  list.replaceChildren(...symbols.map((symbol) => {
    const item = element('li', {'data-name': symbol.name});
    item.append(element('span', {class: 'name'}, symbol.name),
                element('span', {class: 'type'}, symbol.type));
    const add = element('button', {class: 'add', type: 'button'}, 'Add');
    add.addEventListener('click', () => addVariable(symbol.name, symbol.type));
    item.append(add);
    return item;
  }));
  document.getElementById('symbol-count').textContent =
    total > symbols.length ? `${symbols.length} of ${total} shown` : `${total} symbols`;
}

// --- Values as people read them ------------------------------------------------------------

// REAL to at most `real` significant digits, LREAL to at most `lreal`; every other value as
// the server gives it.
function shownText(value, type) {
  if (typeof value === 'number' && Number.isFinite(value) && !Number.isInteger(value)) {
    const kind = (type || '').toUpperCase();
    const precision = kind === 'REAL' ? settings.real : kind === 'LREAL' ? settings.lreal : 0;
    if (precision) {
      return String(Number(value.toPrecision(precision)));
    }
  }
  return JSON.stringify(value);
}

// A value as ksym watch --format csv writes it: texts and bytes as their plain characters,
// arrays as [1, -2, 3], numbers in full.
function csvText(value) {
  if (value === undefined) {
    return NO_VALUE;
  }
  return Array.isArray(value) ? '[' + value.join(', ') + ']' : String(value);
}

function csvField(text) {
  return /[",\r\n]/.test(text) ? '"' + text.replace(/"/g, '""') + '"' : text;
}

// --- Watch table ---------------------------------------------------------------------------

function addVariable(name, type) {
  if (rows.has(name)) {
    return;
  }
  const row = element('tr', {'data-name': name});
  const cells = {
    name: element('td', {class: 'name'}, name),
    type: element('td', {class: 'type'}, type || ''),
    value: element('td', {class: 'value'}, ''),
    valid: element('td', {class: 'valid'}, ''),
    changed: element('td', {class: 'changed-at'}, ''),
    write: element('td', {class: 'write'}),
    error: element('td', {class: 'error'}, ''),
  };
  const input = element('input', {class: 'write-value', type: 'text', placeholder: 'new value'});
  const button = element('button', {class: 'write', type: 'button'}, 'Write');
  const remove = element('button', {class: 'remove', type: 'button', title: 'Remove'}, '\u00d7');
  button.addEventListener('click', () => writeVariable(name, input, cells.error));
  input.addEventListener('keydown', (event) => {
    if (event.key === 'Enter') {
      writeVariable(name, input, cells.error);
    }
  });
  remove.addEventListener('click', () => removeVariable(name));
  cells.write.append(input, button);
  row.append(cells.name, cells.type, cells.value, cells.valid, cells.changed, cells.write,
             cells.error);
  const removeCell = element('td');
  removeCell.append(remove);
  row.append(removeCell);
  document.querySelector('#watch tbody').append(row);
  rows.set(name, {row, cells, type: type || '', last: undefined, raw: undefined, series: null,
                  chart: null, box: null, visible: true, dirty: false});
  updateWatchNote();
  saveState();
  if (!restoring) {
    restartStream();
  }
}

function removeVariable(name) {
  const entry = rows.get(name);
  if (!entry) {
    return;
  }
  entry.row.remove();
  if (entry.chart) {
    entry.chart.destroy();
    if (observer) {
      observer.unobserve(entry.box);
    }
    entry.box.remove();
    window.ksymCharts.delete(name);
  }
  rows.delete(name);
  updateWatchNote();
  saveState();
  restartStream();
}

function updateWatchNote() {
  document.getElementById('watch-note').style.display = rows.size ? 'none' : '';
}

// Shows a value again when it or its precision changed.
function renderValue(entry) {
  const value = entry.raw;
  if (value === undefined) {
    return;
  }
  const text = value.valid ? shownText(value.value, entry.type) : NO_VALUE;
  if (entry.cells.value.textContent !== text) {
    entry.cells.value.textContent = text;
  }
  const full = value.valid ? JSON.stringify(value.value) : NO_VALUE;
  if (entry.cells.value.title !== full) {
    entry.cells.value.title = full; // the full value, whatever the precision shown
  }
}

function showValue(value, time, ms) {
  const entry = rows.get(value.name);
  if (!entry) {
    return;
  }
  if (value.type && entry.type !== value.type) {
    entry.type = value.type;
    entry.cells.type.textContent = value.type;
  }
  const full = value.valid ? JSON.stringify(value.value) : NO_VALUE;
  entry.row.classList.toggle('invalid', !value.valid);
  entry.cells.valid.textContent = value.valid ? 'yes' : 'no';
  entry.raw = value;
  if (entry.last !== full) {
    renderValue(entry);
    if (entry.last !== undefined) {
      entry.cells.changed.textContent = time.replace('T', ' ').replace('Z', '');
      entry.cells.value.classList.add('changed');
      setTimeout(() => entry.cells.value.classList.remove('changed'), 300);
    }
    entry.last = full;
  }
  if (value.valid && (typeof value.value === 'number' || typeof value.value === 'boolean')) {
    plotPoint(entry, value.name, ms, Number(value.value), typeof value.value === 'boolean');
  }
}

function keepRecord(ms, names, values) {
  const part = [names, values.map((value) => (value.valid ? value.value : undefined))];
  const last = records[records.length - 1];
  if (last && last.t === ms) {
    last.parts.push(part); // another stream's values of the same read
    return;
  }
  records.push({t: ms, parts: [part]});
  const oldest = ms - KEEP_MS;
  let drop = 0;
  while (drop < records.length && records[drop].t < oldest) {
    drop++;
  }
  if (drop > 0) {
    records.splice(0, drop);
  }
}

function closeStreams() {
  streams.forEach((stream) => stream.close());
  streams = [];
}

function restartStream() {
  closeStreams();
  clearTimeout(streamRetry);
  const all = [...rows.keys()];
  for (let from = 0; from < all.length; from += NAMES_PER_STREAM) {
    const names = all.slice(from, from + NAMES_PER_STREAM);
    const stream = new EventSource('/api/watch?' + query(
      [...names.map((name) => ['name', name]), ['interval', settings.interval]]));
    stream.onmessage = (event) => measured(() => {
      const record = JSON.parse(event.data);
      const ms = Date.parse(record.time);
      record.values.forEach((value) => showValue(value, record.time, ms));
      keepRecord(ms, names, record.values);
    });
    stream.addEventListener('error', () => {
      // The station went away or the server restarted: ask again in a while.
      closeStreams();
      clearTimeout(streamRetry);
      streamRetry = setTimeout(restartStream, 2000);
    });
    streams.push(stream);
  }
}

async function writeVariable(name, input, errorCell) {
  errorCell.textContent = '';
  try {
    const response = await fetch('/api/write', {
      method: 'POST',
      headers: {'Content-Type': 'application/json'},
      body: JSON.stringify({[name]: input.value}),
    });
    if (!response.ok) {
      const answer = await response.json();
      errorCell.textContent = answer.error || `HTTP ${response.status}`;
    }
  } catch (error) {
    errorCell.textContent = 'the server cannot be reached';
  }
}

// --- CSV -----------------------------------------------------------------------------------

// What the page received, as ksym watch --format csv writes it: the time, then one column
// per variable of the table in its order.
function csv() {
  const names = [...rows.keys()];
  const lines = [['time', ...names].map(csvField).join(',')];
  const column = new Map(names.map((name, at) => [name, at]));
  const places = new Map(); // a stream's names -> the table's column of each
  records.forEach((record) => {
    const cells = names.map(() => '');
    record.parts.forEach(([partNames, values]) => {
      if (!places.has(partNames)) {
        places.set(partNames, partNames.map((name) => column.get(name) ?? -1));
      }
      places.get(partNames).forEach((at, k) => {
        if (at >= 0) {
          cells[at] = csvText(values[k]);
        }
      });
    });
    lines.push([new Date(record.t).toISOString(), ...cells].map(csvField).join(','));
  });
  return lines.join('\n') + '\n';
}
window.ksymCsv = csv;

function downloadCsv() {
  const link = element('a', {
    href: URL.createObjectURL(new Blob([csv()], {type: 'text/csv'})),
    download: 'ksym-watch-' + new Date().toISOString().replace(/[:.]/g, '-') + '.csv',
  });
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 10000);
}

// --- Trends --------------------------------------------------------------------------------
// One small chart per numeric variable, each with an axis of its own: a temperature near 70
// and a position near 3,000 both show their movement, with their true values on their axes,
// which an axis shared by all, or a normalised one, would not. Booleans are steps.

function timeLabel(ms) {
  const text = new Date(ms).toISOString();
  return TICK_STEPS[settings.window] < 60000 ? text.substring(11, 19) : text.substring(11, 16);
}

function makeChart(entry, name) {
  const bool = entry.bool;
  const colour = COLOURS[window.ksymCharts.size % COLOURS.length];
  entry.box = element('div', {class: 'trend', 'data-name': name});
  entry.box.append(element('div', {class: 'trend-name'}, name));
  const canvas = element('canvas');
  const holder = element('div', {class: 'trend-canvas'});
  holder.append(canvas);
  entry.box.append(holder);
  document.getElementById('trends').append(entry.box);
  entry.chart = new window.Chart(canvas, {
    type: 'line',
    data: {datasets: [{label: name, data: entry.series, borderColor: colour,
                       backgroundColor: colour, stepped: bool ? 'before' : false}]},
    options: {
      animation: false,
      maintainAspectRatio: false,
      parsing: false,
      normalized: true,
      spanGaps: true,
      elements: {point: {radius: 0}, line: {borderWidth: 1.5}},
      plugins: {legend: {display: false}, decimation: {enabled: true, algorithm: 'min-max'},
                tooltip: {callbacks: {title: (items) => items.length ?
                  new Date(items[0].parsed.x).toISOString().replace('T', ' ').replace('Z', '') : ''}}},
      scales: {
        x: {type: 'linear', ticks: {callback: timeLabel, maxRotation: 0}},
        y: bool ? {min: -0.1, max: 1.1,
                   ticks: {stepSize: 1, callback: (v) => (v === 1 ? 'true' : v === 0 ? 'false' : '')}}
                : {ticks: {maxTicksLimit: 5}},
      },
    },
  });
  window.ksymCharts.set(name, entry.chart);
  if (observer) {
    observer.observe(entry.box);
  }
}

// Keeps the point; the chart is made and drawn by the next redraw, not here, so that an
// update of many new variables does not wait for their charts.
function plotPoint(entry, name, x, y, bool) {
  if (!chartsAvailable) {
    return;
  }
  if (!entry.series) {
    entry.series = [];
    entry.bool = bool;
  }
  const series = entry.series;
  if (series.length && x <= series[series.length - 1].x) {
    return; // one point per read, in order
  }
  series.push({x, y});
  const oldest = x - KEEP_MS;
  let drop = 0;
  while (drop < series.length && series[drop].x < oldest) {
    drop++;
  }
  if (drop > 0) {
    series.splice(0, drop);
  }
  entry.dirty = true;
}

function onVisibility(changes) {
  changes.forEach((change) => {
    const entry = rows.get(change.target.dataset.name);
    if (entry) {
      entry.visible = change.isIntersecting;
    }
  });
}

// Once a second: every visible chart whose data changed is queued, and the queue is redrawn a
// few charts per animation frame, so that no frame waits for all of them.
function scheduleRedraw(force) {
  if (paused && !force) {
    return;
  }
  rows.forEach((entry, name) => {
    entry.name = name;
    if (entry.series && (entry.dirty || force) && entry.visible && !redrawQueue.includes(entry)) {
      redrawQueue.push(entry);
    }
  });
  if (redrawQueue.length) {
    requestAnimationFrame(redrawSome);
  }
}

function redrawSome() {
  measured(() => {
    const began = performance.now();
    const now = paused ? pausedAt : Date.now();
    drawnAt = now;
    while (redrawQueue.length && performance.now() - began < FRAME_BUDGET_MS) {
      const entry = redrawQueue.shift();
      if (!rows.has(entry.name)) {
        continue; // removed meanwhile
      }
      if (!entry.chart) {
        makeChart(entry, entry.name);
      }
      const x = entry.chart.options.scales.x;
      x.min = now - settings.window * 60000;
      x.max = now;
      x.ticks.stepSize = TICK_STEPS[settings.window];
      entry.chart.update('none');
      entry.dirty = false;
    }
  });
  if (redrawQueue.length) {
    requestAnimationFrame(redrawSome);
  }
}

// --- Controls ------------------------------------------------------------------------------

function setUpControls() {
  const windowChoice = document.getElementById('window');
  windowChoice.replaceChildren(...WINDOWS.map((minutes) =>
    element('option', {value: minutes}, `${minutes} min`)));
  windowChoice.value = settings.window;
  windowChoice.addEventListener('change', () => {
    settings.window = chosen(windowChoice.value, WINDOWS, 5);
    saveState();
    scheduleRedraw(true);
  });
  const intervalChoice = document.getElementById('interval');
  intervalChoice.replaceChildren(...INTERVALS.map((ms) => element('option', {value: ms}, `${ms} ms`)));
  intervalChoice.value = settings.interval;
  intervalChoice.addEventListener('change', () => {
    settings.interval = chosen(intervalChoice.value, INTERVALS, 500);
    saveState();
    restartStream();
  });
  [['real-digits', 'real', 7], ['lreal-digits', 'lreal', 10]].forEach(([id, key, fallback]) => {
    const box = document.getElementById(id);
    box.value = settings[key];
    // Taken as it is typed; what is no precision is put right once the field is left.
    box.addEventListener('input', () => {
      const typed = digits(box.value, 0);
      if (typed) {
        settings[key] = typed;
        saveState();
        rows.forEach(renderValue);
      }
    });
    box.addEventListener('change', () => {
      if (box.value !== '' && !digits(box.value, 0)) {
        box.value = settings[key];
      }
    });
  });
  const pause = document.getElementById('pause');
  pause.addEventListener('click', () => {
    paused = !paused;
    pausedAt = drawnAt || Date.now();
    pause.textContent = paused ? 'Resume' : 'Pause';
    pause.classList.toggle('paused', paused);
    if (!paused) {
      scheduleRedraw(true);
    }
  });
  document.getElementById('download').addEventListener('click', downloadCsv);
}

function setUpTrends() {
  const note = document.getElementById('plot-note');
  chartsAvailable = typeof window.Chart === 'function';
  if (!chartsAvailable) {
    note.textContent = 'The trends need the plotting library, which this machine lacks.';
    return;
  }
  note.textContent = 'A trend per numeric variable, each on its own axis; times in UTC.';
  setInterval(() => scheduleRedraw(false), REDRAW_MS);
}

// --- Start ---------------------------------------------------------------------------------

document.getElementById('filter').addEventListener('input', () => {
  clearTimeout(filterTimer);
  filterTimer = setTimeout(refreshSymbols, 150);
});
loadState();
setUpControls();
setUpTrends();
restoring = true;
settings.names.slice().forEach((name) => addVariable(name, ''));
restoring = false;
saveState();
restartStream();
refreshSymbols();
refreshStation();
setInterval(refreshStation, 2000);
