// ksym serve's page: the symbol list, the watch table with its writes, the trend plot and the
// station's state, all from the server's JSON interface.
'use strict';

const TREND_SECONDS = 300;   // how far back the plot reaches
const WATCH_INTERVAL = 500;  // milliseconds between the values the page asks for
const SYMBOL_LIMIT = 200;

const rows = new Map(); // name -> {row, cells, last, dataset}
let stream = null;
let streamRetry = null;
let chart = null;
let plotDirty = false;

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

// --- Watch table ---------------------------------------------------------------------------

function addVariable(name, type) {
  if (rows.has(name)) {
    return;
  }
  const row = element('tr', {'data-name': name});
  const cells = {
    name: element('td', {class: 'name'}, name),
    type: element('td', {class: 'type'}, type),
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
  rows.set(name, {row, cells, last: undefined, dataset: null});
  updateWatchNote();
  restartStream();
}

function removeVariable(name) {
  const entry = rows.get(name);
  if (!entry) {
    return;
  }
  entry.row.remove();
  if (entry.dataset && chart) {
    chart.data.datasets.splice(chart.data.datasets.indexOf(entry.dataset), 1);
    chart.update('none');
  }
  rows.delete(name);
  updateWatchNote();
  restartStream();
}

function updateWatchNote() {
  document.getElementById('watch-note').style.display = rows.size ? 'none' : '';
}

function showValue(value, time) {
  const entry = rows.get(value.name);
  if (!entry) {
    return;
  }
  const text = value.valid ? JSON.stringify(value.value) : '(no value)';
  entry.row.classList.toggle('invalid', !value.valid);
  entry.cells.valid.textContent = value.valid ? 'yes' : 'no';
  if (entry.last !== text) {
    entry.cells.value.textContent = text;
    if (entry.last !== undefined) {
      entry.cells.changed.textContent = time.replace('T', ' ').replace('Z', '');
      entry.cells.value.classList.add('changed');
      setTimeout(() => entry.cells.value.classList.remove('changed'), 300);
    }
    entry.last = text;
  }
  if (value.valid && (typeof value.value === 'number' || typeof value.value === 'boolean')) {
    plotPoint(entry, value.name, Date.parse(time), Number(value.value));
  }
}

function restartStream() {
  if (stream) {
    stream.close();
    stream = null;
  }
  clearTimeout(streamRetry);
  if (rows.size === 0) {
    return;
  }
  const names = [...rows.keys()].map((name) => ['name', name]);
  stream = new EventSource('/api/watch?' + query([...names, ['interval', WATCH_INTERVAL]]));
  stream.onmessage = (event) => {
    const record = JSON.parse(event.data);
    record.values.forEach((value) => showValue(value, record.time));
  };
  stream.addEventListener('error', () => {
    // The station went away or the server restarted: ask again in a while.
    stream.close();
    stream = null;
    streamRetry = setTimeout(restartStream, 2000);
  });
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

// --- Trend ---------------------------------------------------------------------------------

const COLOURS = ['#1f77b4', '#d62728', '#2ca02c', '#ff7f0e', '#9467bd', '#8c564b', '#e377c2',
                 '#17becf'];

function setUpPlot() {
  const note = document.getElementById('plot-note');
  if (typeof window.Chart !== 'function') {
    document.getElementById('plot').style.display = 'none';
    note.textContent = 'The plot needs the plotting library, which this machine lacks.';
    return;
  }
  note.textContent = `Numeric values of the last ${TREND_SECONDS / 60} minutes.`;
  chart = new window.Chart(document.getElementById('trend'), {
    type: 'line',
    data: {datasets: []},
    options: {
      animation: false,
      maintainAspectRatio: false,
      parsing: false,
      normalized: true,
      elements: {point: {radius: 0}, line: {borderWidth: 1.5}},
      scales: {
        x: {
          type: 'linear',
          ticks: {callback: (ms) => new Date(ms).toISOString().substring(11, 19)},
        },
      },
    },
  });
  window.ksymChart = chart;
  setInterval(() => {
    if (plotDirty) {
      const oldest = Date.now() - TREND_SECONDS * 1000;
      chart.data.datasets.forEach((set) => {
        while (set.data.length && set.data[0].x < oldest) {
          set.data.shift();
        }
      });
      chart.update('none');
      plotDirty = false;
    }
  }, 1000);
}

function plotPoint(entry, name, x, y) {
  if (!chart) {
    return;
  }
  if (!entry.dataset) {
    const colour = COLOURS[chart.data.datasets.length % COLOURS.length];
    entry.dataset = {label: name, data: [], borderColor: colour, backgroundColor: colour};
    chart.data.datasets.push(entry.dataset);
  }
  entry.dataset.data.push({x, y});
  plotDirty = true;
}

// --- Start ---------------------------------------------------------------------------------

document.getElementById('filter').addEventListener('input', () => {
  clearTimeout(filterTimer);
  filterTimer = setTimeout(refreshSymbols, 150);
});
setUpPlot();
refreshSymbols();
refreshStation();
setInterval(refreshStation, 2000);
