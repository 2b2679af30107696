'use strict';
// The programs the gateway tests run beside themselves: plcsim stations and ksym opcua, from
// the build named by KSYM_PLCSIM and KSYM_TOOL; each started with a bounded wait for the line
// that says it is ready, and ended by its id.

const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { createRequire } = require('node:module');

// The gateway's own modules (node-opcua-client among them), wherever the test file lies.
const gatewayFolder = process.env.KSYM_OPCUA_DIR ||
  path.join(__dirname, '..', '..', '..', 'tools', 'ksym', 'opcua', 'node');
const gatewayRequire = createRequire(path.join(gatewayFolder, 'package.json'));

function program(variable) {
  const file = process.env[variable];
  if (!file || !fs.existsSync(file)) {
    throw new Error(`${variable} must name the build's program, as scripts/test.sh sets it`);
  }
  return file;
}

const running = new Set();

// Starts `file` with `args`; resolves with { child, line, output } once a line of its stdout
// matches `ready` (its match in `line`), rejects when it ends or is silent for `ms`.
function start(file, args, ready, { ms = 30000, env = {} } = {}) {
  return new Promise((resolve, reject) => {
    const child = spawn(file, args, { env: { ...process.env, ...env },
                                      stdio: ['ignore', 'pipe', 'pipe'] });
    running.add(child);
    const output = { stdout: '', stderr: '' };
    const timer = setTimeout(() => {
      stop(child);
      reject(new Error(`${path.basename(file)} was not ready in ${ms} ms: ${output.stderr}`));
    }, ms);
    child.stdout.setEncoding('utf8');
    child.stderr.setEncoding('utf8');
    child.stderr.on('data', (text) => { output.stderr += text; });
    child.stdout.on('data', (text) => {
      output.stdout += text;
      const match = ready.exec(output.stdout);
      if (match && timer) {
        clearTimeout(timer);
        resolve({ child, match, output });
      }
    });
    child.on('exit', (code) => {
      running.delete(child);
      child.exitCode = code;
      clearTimeout(timer);
      reject(new Error(`${path.basename(file)} ended with ${code}: ${output.stderr}`));
    });
  });
}

// SIGTERM, SIGKILL after 10 s; resolves with the exit code (null when killed).
function stop(child) {
  return new Promise((resolve) => {
    if (child.exitCode !== null || child.signalCode !== null) {
      resolve(child.exitCode);
      return;
    }
    const kill = setTimeout(() => child.kill('SIGKILL'), 10000);
    child.once('exit', (code) => {
      clearTimeout(kill);
      resolve(code);
    });
    child.kill('SIGTERM');
  });
}

async function stopAll() {
  await Promise.all([...running].map(stop));
}

// A plcsim station: { child, address, listen }.
async function plcsim(options = [], listen = '127.0.0.1:0') {
  const started = await start(program('KSYM_PLCSIM'), ['--listen', listen, ...options],
                              /plcsim listening on (\S+)\n/);
  return { child: started.child, listen: started.match[1], address: 'tcp:' + started.match[1] };
}

// ksym opcua on the station: { child, url, output }.
async function gateway(station, args = [], env = {}) {
  const listen = args.includes('--listen') ? [] : ['--listen', '127.0.0.1:0'];
  const started = await start(program('KSYM_TOOL'),
                              ['--station', station, 'opcua', ...listen, ...args],
                              /ksym opcua serving (opc\.tcp:\/\/\S+)\n/, { ms: 60000, env });
  return { child: started.child, url: started.match[1], output: started.output };
}

// ksym itself, to its end: { status, stdout, stderr }.
function ksym(args, input, env = {}) {
  return spawnSync(program('KSYM_TOOL'), args, { input, encoding: 'utf8', timeout: 60000,
                                                 env: { ...process.env, ...env } });
}

function ksymJson(station, args) {
  const done = ksym(['--station', station, '--json', ...args]);
  if (done.status !== 0) throw new Error(`ksym ${args.join(' ')}: ${done.stderr}`);
  return JSON.parse(done.stdout);
}

// The gateway's Node.js process, the child of ksym opcua's.
function gatewayPid(ksymPid) {
  for (const entry of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      const stat = fs.readFileSync(`/proc/${entry}/stat`, 'utf8').split(') ')[1].split(' ');
      if (Number(stat[1]) === ksymPid) return Number(entry);
    } catch {
      // gone meanwhile
    }
  }
  throw new Error('the gateway process was not found');
}

function temporaryFolder(name) {
  return fs.mkdtempSync(path.join(os.tmpdir(), `ksym-opcua-${name}-`));
}

module.exports = { gatewayRequire, plcsim, gateway, gatewayPid, ksym, ksymJson, stop, stopAll,
                   temporaryFolder };
