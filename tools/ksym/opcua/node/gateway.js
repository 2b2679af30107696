'use strict';
// ksym opcua's gateway: an OPC UA server in front of ksym's JSON interface of one station.
// ksym starts it, with the interface's address on --api and its token in KSYM_API_TOKEN,
// and reads "ready opc.tcp://HOST:PORT" from its stdout once the endpoints are open. It ends
// on SIGINT or SIGTERM, and by itself when ksym is gone. Exit codes are ksym's: 2 the
// interface cannot be reached, 3 a bad argument or users file, 10 the address cannot be
// listened on.
//   node gateway.js --api URL --listen HOST:PORT --pki DIR [--read-only] [--users FILE]
//                   [--remote] [--allow-insecure]
//   node gateway.js --hash-password      (the password on stdin; its hash on stdout)

// Stdout carries the ready line (and a hash) only: the modules' console lines go to stderr.
console.log = console.error;
console.info = console.error;

const fs = require('node:fs');
const {
  OPCUAServer, OPCUACertificateManager, SecurityPolicy, MessageSecurityMode, nodesets,
} = require('node-opcua');
const { StationApi } = require('./lib/api');
const { StationNodes } = require('./lib/address_space');
const { Feed } = require('./lib/feed');
const users = require('./lib/users');
const { writer } = require('./lib/writer');

const EXIT = { openFailed: 2, badArgument: 3, listenFailed: 10 };

function log(text) {
  process.stderr.write(`ksym opcua: ${text}\n`);
}

function fail(code, text) {
  log(text);
  process.exit(code);
}

function parseArguments(argv) {
  const options = { readOnly: false, remote: false, allowInsecure: false };
  const valued = { '--api': 'api', '--listen': 'listen', '--pki': 'pki', '--users': 'users' };
  const flags = { '--read-only': 'readOnly', '--remote': 'remote',
                  '--allow-insecure': 'allowInsecure', '--hash-password': 'hashPassword' };
  for (let k = 0; k < argv.length; ++k) {
    if (valued[argv[k]] && k + 1 < argv.length) {
      options[valued[argv[k]]] = argv[++k];
    } else if (flags[argv[k]]) {
      options[flags[argv[k]]] = true;
    } else {
      fail(EXIT.badArgument, `unknown argument ${argv[k]}`);
    }
  }
  return options;
}

function hashFromStdin() {
  const text = fs.readFileSync(0, 'utf8').replace(/\r?\n$/, '');
  if (text === '') fail(EXIT.badArgument, 'no password on stdin');
  process.stdout.write(users.hashPassword(text) + '\n');
}

// HOST:PORT, [V6]:PORT; the host as it is to be listened on and advertised.
function splitListen(text) {
  const match = /^(?:\[([^\]]+)\]|([^:]+)):(\d{1,5})$/.exec(text || '');
  const port = match ? Number(match[3]) : -1;
  if (!match || port > 65535) fail(EXIT.badArgument, `--listen wants HOST:PORT, not '${text}'`);
  return { host: match[1] || match[2], port };
}

// The endpoints: on loopback without security and with Basic256Sha256 (Sign,
// SignAndEncrypt); beyond it only the secured ones, unless --allow-insecure.
function security(options) {
  const insecure = !options.remote || options.allowInsecure;
  return {
    securityPolicies: insecure ? [SecurityPolicy.None, SecurityPolicy.Basic256Sha256]
      : [SecurityPolicy.Basic256Sha256],
    securityModes: insecure
      ? [MessageSecurityMode.None, MessageSecurityMode.Sign, MessageSecurityMode.SignAndEncrypt]
      : [MessageSecurityMode.Sign, MessageSecurityMode.SignAndEncrypt],
  };
}

async function main() {
  const options = parseArguments(process.argv.slice(2));
  if (options.hashPassword) {
    hashFromStdin();
    return;
  }
  if (!options.api || !options.listen || !options.pki) {
    fail(EXIT.badArgument, '--api, --listen and --pki are needed');
  }
  const { host, port } = splitListen(options.listen);
  let known = null;
  if (options.users) {
    try {
      known = users.loadUsers(options.users);
    } catch (error) {
      fail(EXIT.badArgument, error.message);
    }
  }
  const api = new StationApi(options.api, process.env.KSYM_API_TOKEN || '');
  let symbols;
  try {
    symbols = await api.symbols();
  } catch (error) {
    fail(EXIT.openFailed, `ksym's interface cannot be reached: ${error.message}`);
  }

  fs.mkdirSync(options.pki, { recursive: true });
  const serverCertificateManager = new OPCUACertificateManager({
    rootFolder: options.pki,
    // On loopback every client is on this machine; beyond it, a client's certificate must
    // first be moved from the folder rejected/ to trusted/ by hand.
    automaticallyAcceptUnknownCertificate: !options.remote,
  });
  const wildcard = host === '0.0.0.0' || host === '::';
  const shown = host.includes(':') ? `[${host}]` : host; // as an address holds it
  const server = new OPCUAServer({
    port,
    host: wildcard ? undefined : host,
    hostname: wildcard ? undefined : shown,
    serverCertificateManager,
    nodeset_filename: [nodesets.standard],
    ...security(options),
    allowAnonymous: known === null,
    userManager: known === null ? undefined
      : { isValidUser: (name, password) => users.isValidUser(known, name, password) },
    buildInfo: { productName: 'ksym opcua', manufacturerName: 'ksym',
                 productUri: 'urn:ksymbol:ksym-opcua' },
    serverInfo: { applicationUri: 'urn:ksymbol:ksym-opcua',
                  applicationName: { text: 'ksym opcua' } },
    serverCapabilities: { maxMonitoredItems: 100000, maxMonitoredItemsPerSubscription: 100000 },
  });
  await server.initialize();

  const addressSpace = server.engine.addressSpace;
  const namespace = addressSpace.registerNamespace('urn:ksymbol');
  const hooks = { readOnly: options.readOnly };
  const nodes = new StationNodes(addressSpace, namespace, hooks);
  const feed = new Feed(api, nodes, log);
  hooks.refresh = (entry, callback) => feed.refresh(entry, callback);
  hooks.write = writer(api);
  nodes.update(symbols);
  feed.onProject = async () => {
    try {
      nodes.update(await api.symbols());
      feed.reconcile();
    } catch (error) {
      log(`the new project's symbols cannot be fetched: ${error.message}`);
    }
  };
  await feed.pollStation(); // the identification and the state, before any client comes
  server.on('create_session', (session) => {
    session.on('new_subscription', (subscription) => feed.watchSubscription(subscription));
  });

  try {
    await server.start();
  } catch (error) {
    fail(EXIT.listenFailed, `cannot listen on ${options.listen}: ${error.message}`);
  }
  feed.start();
  const bound = server.endpoints[0]?.port ?? port;
  process.stdout.write(`ready opc.tcp://${shown}:${bound}\n`);

  let ending = false;
  const end = async () => {
    if (ending) return;
    ending = true;
    feed.stop();
    await server.shutdown(0).catch(() => {});
    process.exit(0);
  };
  process.on('SIGINT', end);
  process.on('SIGTERM', end);
  // ksym gone without a word (killed): the gateway goes too.
  const parent = process.ppid;
  setInterval(() => {
    if (process.ppid !== parent) end();
  }, 1000).unref();
}

main().catch((error) => fail(EXIT.openFailed, error.stack || String(error)));
