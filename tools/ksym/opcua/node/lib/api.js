'use strict';
// ksym's JSON interface of the station, as the gateway uses it: symbols, the station's state,
// reads, writes and watch streams. Every request carries the token ksym gave the gateway;
// every answer is untrusted (bounded, parsed with care).

const http = require('node:http');

// The largest answer taken, and the most names one request may carry (the interface's own
// bound).
const MAX_ANSWER_BYTES = 16 * 1024 * 1024;
const NAMES_PER_REQUEST = 64;

class StationApi {
  constructor(base, token) {
    const url = new URL(base);
    this.host = url.hostname;
    this.port = Number(url.port);
    this.token = token;
    this.agent = new http.Agent({ keepAlive: true, maxSockets: 8 });
  }

  options(method, path, extra = {}) {
    return {
      host: this.host,
      port: this.port,
      method,
      path,
      agent: extra.agent === undefined ? this.agent : extra.agent,
      headers: { Authorization: `Bearer ${this.token}`, ...(extra.headers || {}) },
    };
  }

  // { status, body } with the body parsed as JSON (null when it is not JSON).
  request(method, path, body) {
    return new Promise((resolve, reject) => {
      const text = body === undefined ? undefined : JSON.stringify(body);
      const headers = text === undefined ? {}
        : { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(text) };
      const request = http.request(this.options(method, path, { headers }), (response) => {
        const chunks = [];
        let length = 0;
        response.on('data', (chunk) => {
          length += chunk.length;
          if (length > MAX_ANSWER_BYTES) {
            request.destroy(new Error('the answer is too large'));
            return;
          }
          chunks.push(chunk);
        });
        response.on('end', () => {
          let parsed = null;
          try {
            parsed = JSON.parse(Buffer.concat(chunks).toString('utf8'));
          } catch {
            parsed = null;
          }
          resolve({ status: response.statusCode, body: parsed,
                    total: Number(response.headers['x-total-count']) });
        });
        response.on('error', reject);
      });
      request.on('error', reject);
      if (text !== undefined) request.write(text);
      request.end();
    });
  }

  // Every symbol, fetched a page at a time.
  async symbols() {
    const all = [];
    for (;;) {
      const answer = await this.request('GET', `/api/symbols?limit=5000&from=${all.length}`);
      if (answer.status !== 200 || !Array.isArray(answer.body)) {
        throw new Error(`the symbols cannot be fetched (HTTP ${answer.status})`);
      }
      all.push(...answer.body);
      if (answer.body.length === 0 || !(all.length < answer.total)) return all;
    }
  }

  station() {
    return this.request('GET', '/api/station');
  }

  // The values of `names`, as ksym --json read gives them: { name: value object }.
  async read(names) {
    const values = new Map();
    for (let from = 0; from < names.length; from += NAMES_PER_REQUEST) {
      const part = names.slice(from, from + NAMES_PER_REQUEST);
      const answer = await this.request('GET', '/api/read?' + query(part));
      if (answer.status !== 200 || !Array.isArray(answer.body)) {
        const error = new Error(answer.body?.error || `HTTP ${answer.status}`);
        error.status = answer.status;
        throw error;
      }
      answer.body.forEach((value, k) => values.set(part[k], value));
    }
    return values;
  }

  write(name, value) {
    return this.request('POST', '/api/write', { [name]: value });
  }

  // A watch stream of `names` (at most NAMES_PER_REQUEST) every `intervalMs`: onRecord(record)
  // for each read, onEnd(why) once when it ends for any reason other than close().
  watch(names, intervalMs, onRecord, onEnd) {
    let closed = false;
    let ended = false;
    const end = (why) => {
      if (!closed && !ended) {
        ended = true;
        onEnd(why);
      }
    };
    const path = `/api/watch?${query(names)}&interval=${Math.round(intervalMs)}`;
    // A stream holds its connection for as long as it runs: none from the shared pool.
    const request = http.request(this.options('GET', path, { agent: false }), (response) => {
      if (response.statusCode !== 200) {
        response.resume();
        end(`HTTP ${response.statusCode}`);
        return;
      }
      response.setEncoding('utf8');
      let pending = '';
      response.on('data', (chunk) => {
        pending += chunk;
        if (pending.length > MAX_ANSWER_BYTES) {
          request.destroy();
          end('an event is too large');
          return;
        }
        let cut;
        while ((cut = pending.indexOf('\n\n')) >= 0) {
          const event = pending.slice(0, cut);
          pending = pending.slice(cut + 2);
          const data = event.split('\n').filter((line) => line.startsWith('data: '))
            .map((line) => line.slice(6)).join('\n');
          if (data === '' || /^event: error$/m.test(event)) {
            if (data !== '') end(data);
            continue;
          }
          let record;
          try {
            record = JSON.parse(data);
          } catch {
            continue;
          }
          if (!closed && record && Array.isArray(record.values)) onRecord(record);
        }
      });
      response.on('end', () => end('the stream ended'));
      response.on('error', (error) => end(error.message));
    });
    request.on('error', (error) => end(error.message));
    request.end();
    return {
      close() {
        closed = true;
        request.destroy();
      },
    };
  }
}

function query(names) {
  return names.map((name) => 'name=' + encodeURIComponent(name)).join('&');
}

module.exports = { StationApi, NAMES_PER_REQUEST };
