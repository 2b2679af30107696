'use strict';
// What keeps the values fresh. The gateway reads, through ksym's watch streams, the union of
// the variables that clients monitor, each at the fastest sampling interval asked for it
// (ksym's hub makes one read of the union at the fastest interval of all, since the library
// allows one read in progress per channel). A read of a node nobody monitors reads it once.
// One variable is read every second whatever clients do, and the station's state is looked
// at twice a second: while it is broken every value is BadNoCommunication; the streams' next
// records after the mend make them good again.
//
// Threads: Node.js runs everything here on its one thread.

const { StatusCodes, AttributeIds } = require('node-opcua');
const { NAMES_PER_REQUEST } = require('./api');
const types = require('./types');

const MIN_INTERVAL_MS = 50;
const MAX_INTERVAL_MS = 3600000;
const STATION_POLL_MS = 500;
const RECONCILE_MS = 1000; // sampling intervals changed by clients are picked up this often
// One variable is read at least this often, monitored or not, so that a break, the mend and
// another project are seen while no client monitors anything.
const HEARTBEAT_MS = 1000;
const RETRY_MS = { first: 500, most: 10000 };
// The interface serves 32 reads and watches at once; some are left for the reads once.
const MAX_STREAMS = 24;

// The streams for names grouped by interval: key -> { interval, names }, NAMES_PER_REQUEST
// names each.
function streamsFor(groups) {
  const streams = new Map();
  for (const [interval, names] of groups) {
    names.sort();
    for (let from = 0; from < names.length; from += NAMES_PER_REQUEST) {
      const part = names.slice(from, from + NAMES_PER_REQUEST);
      streams.set(`${interval}\n${part.join('\n')}`, { interval, names: part });
    }
  }
  return streams;
}

class Feed {
  constructor(api, nodes, log) {
    this.api = api;
    this.nodes = nodes;
    this.log = log;
    this.monitored = new Map(); // monitored item -> entry
    this.streams = new Map(); // key -> { interval, names, handle }
    this.delivered = new Set(); // the names an open stream's record has given since it opened
    this.pending = new Map(); // name -> callbacks of reads once waiting for it
    this.reading = false;
    this.crowded = false; // more names are monitored than the streams can hold
    this.connected = true;
    this.projectId = null;
    this.retryMs = RETRY_MS.first;
    this.timers = [];
    this.scheduled = null;
    this.stopped = false;
    this.onProject = null; // called with the new identification when the project changed
  }

  start() {
    this.reconcile();
    this.timers.push(setInterval(() => this.reconcile(), RECONCILE_MS));
    this.timers.push(setInterval(() => this.pollStation(), STATION_POLL_MS));
  }

  stop() {
    this.stopped = true;
    this.timers.forEach(clearInterval);
    clearTimeout(this.scheduled);
    for (const stream of this.streams.values()) stream.handle.close();
    this.streams.clear();
  }

  // The server's subscriptions report their monitored items here.
  watchSubscription(subscription) {
    subscription.on('monitoredItem', (item) => {
      const entry = this.nodes.entryOf(item.node);
      if (entry && item.itemToMonitor.attributeId === AttributeIds.Value) {
        this.monitored.set(item, entry);
        this.schedule();
      }
    });
    subscription.on('removeMonitoredItem', (item) => {
      if (this.monitored.delete(item)) this.schedule();
    });
  }

  schedule(ms = 20) {
    if (this.scheduled === null && !this.stopped) {
      this.scheduled = setTimeout(() => {
        this.scheduled = null;
        this.reconcile();
      }, ms);
    }
  }

  // Opens the streams the monitored items need and closes those nobody needs any more.
  reconcile() {
    if (this.stopped) return;
    const fastest = new Map(); // name -> interval
    for (const [item, entry] of this.monitored) {
      if (this.nodes.entries.get(entry.name) !== entry) {
        this.monitored.delete(item); // its node went with a project change
        continue;
      }
      const asked = Math.min(MAX_INTERVAL_MS,
                             Math.max(MIN_INTERVAL_MS, Math.round(item.samplingInterval || 0)));
      fastest.set(entry.name, Math.min(asked, fastest.get(entry.name) ?? Infinity));
    }
    const [heartbeat] = this.nodes.entries.keys();
    if (heartbeat !== undefined) {
      fastest.set(heartbeat, Math.min(HEARTBEAT_MS, fastest.get(heartbeat) ?? Infinity));
    }
    const groups = new Map(); // interval -> names
    for (const [name, interval] of fastest) {
      if (!groups.has(interval)) groups.set(interval, []);
      groups.get(interval).push(name);
    }
    let wanted = streamsFor(groups);
    if (wanted.size > MAX_STREAMS) {
      // Too many intervals for the streams there are: every name at the fastest of them.
      wanted = streamsFor(new Map([[Math.min(...fastest.values()), [...fastest.keys()]]]));
    }
    if (wanted.size > MAX_STREAMS) {
      // More names than the streams hold: the rest are read once at every sample.
      wanted = new Map([...wanted].slice(0, MAX_STREAMS));
      if (!this.crowded) this.log(`more than ${MAX_STREAMS * NAMES_PER_REQUEST} variables are ` +
                                  'monitored: the rest are read once at every sample');
    }
    this.crowded = fastest.size > MAX_STREAMS * NAMES_PER_REQUEST;
    for (const [key, stream] of this.streams) {
      if (!wanted.has(key)) {
        stream.handle.close();
        this.streams.delete(key);
      }
    }
    for (const [key, stream] of wanted) {
      if (!this.streams.has(key)) this.open(key, stream);
    }
    const streamed = new Set([...this.streams.values()].flatMap((stream) => stream.names));
    for (const name of [...this.delivered]) {
      if (!streamed.has(name)) this.delivered.delete(name);
    }
  }

  open(key, stream) {
    this.streams.set(key, stream);
    stream.handle = this.api.watch(stream.names, stream.interval, (record) => {
      this.retryMs = RETRY_MS.first;
      this.take(record);
    }, (why) => {
      if (this.streams.get(key) !== stream) return;
      this.streams.delete(key);
      stream.names.forEach((name) => this.delivered.delete(name));
      if (!this.stopped) {
        this.log(`a watch stream ended (${why}); it is opened again`);
        this.schedule(this.retryMs);
        this.retryMs = Math.min(RETRY_MS.most, this.retryMs * 2);
      }
    });
  }

  take(record) {
    const read = new Date(record.time);
    const time = Number.isNaN(read.getTime()) ? new Date() : read;
    for (const value of record.values) {
      const entry = this.nodes.entries.get(value?.name);
      if (!entry) continue;
      this.apply(entry, value, time);
      this.delivered.add(entry.name);
    }
  }

  // One value of ksym's interface onto its node. A value the controller did not deliver, or
  // one without the shape of the variable's type, keeps the last one with a bad status.
  apply(entry, value, time) {
    const node = entry.node;
    const variant = value && value.valid === true ? types.variantOf(entry.type, value.value) : null;
    if (variant === null) {
      node.setValueFromSource(node.$dataValue.value, StatusCodes.BadNoCommunication, time);
      return;
    }
    node.setValueFromSource(variant, StatusCodes.Good, time);
  }

  // A client's read or a monitored item's sample of `entry`: from the streams when they
  // read it, else read once (reads once wait for one another, up to the interface's bound
  // of names per request each).
  refresh(entry, callback) {
    if (!this.connected || this.delivered.has(entry.name)) {
      callback(null, entry.node.$dataValue);
      return;
    }
    if (!this.pending.has(entry.name)) this.pending.set(entry.name, []);
    this.pending.get(entry.name).push(callback);
    this.readPending();
  }

  async readPending() {
    if (this.reading || this.pending.size === 0) return;
    this.reading = true;
    const batch = [...this.pending.keys()].slice(0, NAMES_PER_REQUEST);
    const waiting = batch.map((name) => [name, this.pending.get(name)]);
    batch.forEach((name) => this.pending.delete(name));
    let values = null;
    let failure = StatusCodes.BadNoCommunication;
    try {
      values = await this.api.read(batch);
    } catch (error) {
      if (error.status === 504) failure = StatusCodes.BadTimeout;
    }
    for (const [name, callbacks] of waiting) {
      const entry = this.nodes.entries.get(name);
      if (entry) {
        const value = values?.get(name);
        if (value) {
          this.apply(entry, value, new Date());
        } else {
          entry.node.setValueFromSource(entry.node.$dataValue.value, failure, new Date());
        }
      }
      const dataValue = entry ? entry.node.$dataValue : undefined;
      callbacks.forEach((callback) => callback(null, dataValue));
    }
    this.reading = false;
    setImmediate(() => this.readPending());
  }

  async pollStation() {
    let answer;
    try {
      answer = await this.api.station();
    } catch {
      answer = null;
    }
    if (this.stopped) return;
    const state = answer?.status === 200 ? answer.body?.state : 'unreachable';
    this.nodes.setProperty('state', state);
    const connected = state === 'connected';
    if (connected !== this.connected) {
      this.connected = connected;
      if (!connected) {
        this.log(`the station is ${state}: every value is BadNoCommunication until it is mended`);
        this.delivered.clear();
        this.nodes.markAll(StatusCodes.BadNoCommunication);
      } else {
        this.log('the station is connected again');
      }
    }
    const identification = answer?.body?.identification;
    const projectId = identification?.symbolsProjectId ?? null;
    if (identification && projectId !== this.projectId) {
      const first = this.projectId === null;
      this.projectId = projectId;
      this.nodes.setIdentification(identification);
      if (!first && this.onProject) this.onProject(identification);
    }
  }
}

module.exports = { Feed };
