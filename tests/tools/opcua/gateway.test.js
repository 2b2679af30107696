'use strict';
// ksym opcua from the outside, as an OPC UA client sees it: the address space built from the
// station's symbols, reads with the mapped data types and ksym's values, subscriptions with
// sampling intervals and deadbands, guarded writes, a station that goes away and comes back,
// logins on the secured endpoints, and the refusal of an address beyond loopback.

const { test, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { plcsim, gateway, gatewayPid, ksym, ksymJson, stop, stopAll, temporaryFolder } =
  require('./processes');
const { opcua, connect } = require('./client');

const { AttributeIds, DataType, NodeClass, StatusCodes, MessageSecurityMode, AccessLevelFlag,
        Variant, VariantArrayType, DataChangeFilter, DataChangeTrigger, DeadbandType,
        TimestampsToReturn, ClientSubscription, ClientMonitoredItem, OPCUAClient } = opcua;

const TEMPERATURE = 'Line2.Station1.Temperature'; // LREAL, a sine
const POSITION = 'Line1.Station3.Conveyor.Position'; // DINT, a ramp of 400 a second
const SPEED = 'Line1.Station2.Motor1.Speed'; // INT
const CYCLE_TIME = 'Line1.Shift.CycleTime'; // TIME
const TEXT = 'Line2.Station2.Display.Text'; // STR20
const DURATION = 'ns=0;i=290';

after(stopAll);

// The data type each type of the sample project maps to; array types are arrays of Int16.
const MAPPED = {
  BOOL: DataType.Boolean, BYTE: DataType.Byte, WORD: DataType.UInt16, DWORD: DataType.UInt32,
  INT: DataType.Int16, DINT: DataType.Int32, REAL: DataType.Float, LREAL: DataType.Double,
  STR20: DataType.String, TIME: DURATION, DATE_AND_TIME: DataType.DateTime,
  INTARR10: DataType.Int16, INTARR4: DataType.Int16,
};

function until(check, ms, what) {
  const deadline = Date.now() + ms;
  return new Promise((resolve, reject) => {
    const look = async () => {
      const value = await check();
      if (value) {
        resolve(value);
      } else if (Date.now() > deadline) {
        reject(new Error(`no ${what} within ${ms} ms`));
      } else {
        setTimeout(look, 100);
      }
    };
    look();
  });
}

// Every node below `start` along hierarchical references: { nodeId: { browseName, nodeClass } }.
async function crawl(session, start) {
  const found = new Map();
  const queue = [start];
  while (queue.length > 0) {
    const results = await session.browse(queue.splice(0, 50).map((nodeId) => ({
      nodeId, referenceTypeId: 'HierarchicalReferences', includeSubtypes: true,
      browseDirection: opcua.BrowseDirection.Forward, resultMask: 0x3f })));
    for (const result of results) {
      for (const reference of result.references || []) {
        const id = reference.nodeId.toString();
        if (found.has(id)) continue;
        found.set(id, { browseName: reference.browseName, nodeClass: reference.nodeClass });
        queue.push(id);
      }
    }
  }
  return found;
}

// Whether an OPC UA value is the one ksym --json read gave for the variable.
function sameValue(type, read, value) {
  switch (type) {
    case 'REAL':
      return value === Math.fround(read);
    case 'DATE_AND_TIME':
      return value.getTime() === Buffer.from(read, 'hex').readUInt32LE(0) * 1000;
    case 'INTARR10':
    case 'INTARR4':
      return JSON.stringify(Array.from(value)) === JSON.stringify(read);
    default:
      if (MAPPED[type] === undefined) {
        return (value ? Buffer.from(value).toString('hex') : '') === read;
      }
      return value === read;
  }
}

test('the symbol tree, every sample variable with its mapped type and ksym\'s value, and the ' +
     'project as the Station\'s properties', { timeout: 120000 }, async () => {
  // A station whose clock stands still: the values do not move between the two reads.
  const station = await plcsim(['--clock', 'manual']);
  const server = await gateway(station.address);
  const ua = await connect(server.url);
  try {
    const symbols = ksymJson(station.address, ['symbols']);
    const found = await crawl(ua.session, 'ns=0;i=85');
    const variables = [...found].filter(([id, node]) => node.nodeClass === NodeClass.Variable &&
      id.startsWith(`ns=${ua.ns};s=`) && !id.includes('s=Station/'));
    assert.deepEqual(variables.map(([id]) => id).sort(),
                     symbols.map((symbol) => ua.id(symbol.name)).sort());
    // Folders are the prefixes, named by their last part.
    assert.equal(found.get(ua.id('Line1.Station2')).browseName.name, 'Station2');
    assert.equal(found.get(ua.id('Line1.Station2')).nodeClass, NodeClass.Object);
    assert.equal(found.get(ua.id(TEMPERATURE)).browseName.name, 'Temperature');
    assert.equal(found.get(ua.id('Station')).browseName.name, 'Station');

    const reads = ksymJson(station.address, ['read', ...symbols.map((symbol) => symbol.name)]);
    const nodesToRead = symbols.flatMap((symbol) => [
      { nodeId: ua.id(symbol.name), attributeId: AttributeIds.Value },
      { nodeId: ua.id(symbol.name), attributeId: AttributeIds.DataType }]);
    const values = await ua.session.read(nodesToRead);
    symbols.forEach((symbol, k) => {
      const [value, dataType] = [values[2 * k], values[2 * k + 1]];
      const read = reads[k];
      assert.equal(value.statusCode, StatusCodes.Good, symbol.name);
      const mapped = MAPPED[symbol.type] ?? DataType.ByteString;
      const expected = typeof mapped === 'string' ? mapped : `ns=0;i=${mapped}`;
      assert.equal(dataType.value.value.toString(), expected, symbol.name);
      assert.ok(sameValue(symbol.type, read.value, value.value.value),
                `${symbol.name}: ${value.value.value} for ${JSON.stringify(read.value)}`);
      assert.equal(value.value.arrayType === VariantArrayType.Array,
                   symbol.type.startsWith('INTARR'), symbol.name);
    });

    const identification = ksymJson(station.address, ['info']);
    const properties = await ua.session.read(['Project', 'Version', 'Author', 'Number',
      'Identifier', 'ConnectionState'].map((name) => ({ nodeId: ua.id(`Station/${name}`),
                                                        attributeId: AttributeIds.Value })));
    assert.deepEqual(properties.map((value) => value.value.value),
                     [identification.project, identification.version, identification.author,
                      identification.number, identification.projectId, 'connected']);
    // The certificate the gateway made on its first start, in the library's root folder.
    assert.ok(fs.existsSync(path.join(process.env.KSYM_ROOT, 'opcua', 'pki', 'own', 'certs',
                                      'certificate.pem')));
  } finally {
    await ua.close();
  }
});

// Monitors `names` (with the given filter each) at `ms`; resolves with the values each
// delivered within `duration`.
async function monitor(session, items, ms, duration) {
  const subscription = ClientSubscription.create(session, {
    requestedPublishingInterval: ms, requestedMaxKeepAliveCount: 20,
    requestedLifetimeCount: 600, maxNotificationsPerPublish: 0, publishingEnabled: true });
  const delivered = items.map(() => []);
  const monitored = items.map((item, k) => {
    const handle = ClientMonitoredItem.create(subscription,
      { nodeId: item.nodeId, attributeId: AttributeIds.Value },
      { samplingInterval: ms, discardOldest: true, queueSize: 10, filter: item.filter },
      TimestampsToReturn.Both);
    handle.on('changed', (dataValue) => delivered[k].push(dataValue));
    return handle;
  });
  await new Promise((resolve) => setTimeout(resolve, duration));
  await Promise.all(monitored.map((handle) => handle.terminate()));
  await subscription.terminate();
  return delivered;
}

test('subscriptions at 100 ms deliver the changes of moving variables, and a deadband fewer',
     { timeout: 120000 }, async () => {
  const station = await plcsim();
  const server = await gateway(station.address);
  const ua = await connect(server.url);
  try {
    const deadband = new DataChangeFilter({ trigger: DataChangeTrigger.StatusValue,
      deadbandType: DeadbandType.Absolute, deadbandValue: 1000 });
    const [plain, banded, temperature] = await monitor(ua.session, [
      { nodeId: ua.id(POSITION) }, { nodeId: ua.id(POSITION), filter: deadband },
      { nodeId: ua.id(TEMPERATURE) }], 100, 4000);
    // The ramp moves by 40 every 100 ms: most samples change it.
    assert.ok(plain.length >= 15, `${plain.length} changes`);
    assert.ok(plain.every((value) => value.statusCode === StatusCodes.Good));
    const positions = plain.map((value) => value.value.value);
    assert.equal(new Set(positions).size, positions.length, 'a change reported twice');
    // 1000 at 400 a second: one in every 2.5 s, besides the first.
    assert.ok(banded.length >= 1 && banded.length <= 4, `${banded.length} with the deadband`);
    for (let k = 1; k < banded.length; ++k) {
      assert.ok(Math.abs(banded[k].value.value - banded[k - 1].value.value) > 1000);
    }
    assert.ok(temperature.length >= 10, `${temperature.length} temperatures`);
    assert.equal(temperature[0].value.dataType, DataType.Double);
  } finally {
    await ua.close();
  }
});

test('more sampling intervals than the station serves watches: every item still delivers',
     { timeout: 120000 }, async () => {
  // 34 intervals and the gateway's own heartbeat would be more streams than ksym's 32 reads and
  // watches at once; the gateway puts them all at the fastest instead.
  const station = await plcsim();
  const server = await gateway(station.address);
  const ua = await connect(server.url);
  try {
    const symbols = ksymJson(station.address, ['symbols']).filter((s) => s.size > 0).slice(0, 34);
    assert.equal(symbols.length, 34);
    const subscription = ClientSubscription.create(ua.session, {
      requestedPublishingInterval: 100, requestedMaxKeepAliveCount: 20,
      requestedLifetimeCount: 600, publishingEnabled: true });
    const good = new Set();
    const items = symbols.map((symbol, k) => {
      const item = ClientMonitoredItem.create(subscription,
        { nodeId: ua.id(symbol.name), attributeId: AttributeIds.Value },
        { samplingInterval: 100 + 10 * k, queueSize: 1 }, TimestampsToReturn.Both);
      item.on('changed', (value) => {
        if (value.statusCode === StatusCodes.Good) good.add(symbol.name);
      });
      return item;
    });
    await until(() => good.size === symbols.length, 20000, 'good values of all 34');
    // ... and no watch was refused on the way (reads once would have hidden it).
    await new Promise((resolve) => setTimeout(resolve, 2000));
    assert.doesNotMatch(server.output.stderr, /a watch stream ended/);
    await Promise.all(items.map((item) => item.terminate()));
    await subscription.terminate();
  } finally {
    await ua.close();
  }
});

async function write(session, nodeId, dataType, value, arrayType = VariantArrayType.Scalar) {
  return session.write({ nodeId, attributeId: AttributeIds.Value,
                         value: { value: new Variant({ dataType, value, arrayType }) } });
}

test('writes go through ksym write\'s checks: written and read back, refused with nothing ' +
     'sent, and never with --read-only or by a controller that refuses', { timeout: 120000 },
     async () => {
  const station = await plcsim(['--clock', 'manual']);
  const server = await gateway(station.address);
  const ua = await connect(server.url);
  try {
    assert.equal(await write(ua.session, ua.id(SPEED), DataType.Int16, 1234), StatusCodes.Good);
    assert.equal(ksymJson(station.address, ['read', SPEED])[0].value, 1234);
    assert.equal((await ua.session.read({ nodeId: ua.id(SPEED) })).value.value, 1234);
    const before = ksymJson(station.address, ['read', CYCLE_TIME, TEXT, SPEED]);
    // A Duration a TIME cannot hold, a text longer than its variable, a value of another type.
    assert.equal(await write(ua.session, ua.id(CYCLE_TIME), DataType.Double, -5),
                 StatusCodes.BadOutOfRange);
    assert.equal(await write(ua.session, ua.id(CYCLE_TIME), DataType.Double, 2 ** 32),
                 StatusCodes.BadOutOfRange);
    assert.equal(await write(ua.session, ua.id(TEXT), DataType.String, 'x'.repeat(21)),
                 StatusCodes.BadOutOfRange);
    assert.equal(await write(ua.session, ua.id(SPEED), DataType.Int32, 7),
                 StatusCodes.BadTypeMismatch);
    assert.equal(await write(ua.session, ua.id('Line2.Station1.Setpoints'), DataType.Int16,
                             new Int16Array([1, 2, 3]), VariantArrayType.Array),
                 StatusCodes.BadOutOfRange);
    assert.deepEqual(ksymJson(station.address, ['read', CYCLE_TIME, TEXT, SPEED]), before);
    // What fits is written: a TIME, a text of 20, an array, a DATE_AND_TIME.
    assert.equal(await write(ua.session, ua.id(CYCLE_TIME), DataType.Double, 9000),
                 StatusCodes.Good);
    assert.equal(await write(ua.session, ua.id(TEXT), DataType.String, 'y'.repeat(20)),
                 StatusCodes.Good);
    assert.equal(await write(ua.session, ua.id('Line2.Station1.Setpoints'), DataType.Int16,
                             new Int16Array([1, -2, 3, 4]), VariantArrayType.Array),
                 StatusCodes.Good);
    const when = new Date('2026-12-09T10:00:00Z');
    assert.equal(await write(ua.session, ua.id('Line1.Shift.StartedAt'), DataType.DateTime, when),
                 StatusCodes.Good);
    assert.deepEqual(ksymJson(station.address, ['read', CYCLE_TIME, TEXT,
      'Line2.Station1.Setpoints', 'Line1.Shift.StartedAt']).map((value) => value.value),
    [9000, 'y'.repeat(20), [1, -2, 3, 4],
     Buffer.concat([(() => { const b = Buffer.alloc(4); b.writeUInt32LE(when / 1000); return b; })(),
                    Buffer.alloc(4)]).toString('hex')]);
  } finally {
    await ua.close();
  }

  // --read-only: no node has write access, and a write is refused by the server itself.
  const readOnly = await gateway(station.address, ['--read-only']);
  const viewer = await connect(readOnly.url);
  try {
    const access = await viewer.session.read({ nodeId: viewer.id(SPEED),
                                               attributeId: AttributeIds.AccessLevel });
    assert.equal(access.value.value & AccessLevelFlag.CurrentWrite, 0);
    assert.equal(await write(viewer.session, viewer.id(SPEED), DataType.Int16, 1),
                 StatusCodes.BadNotWritable);
    assert.equal(ksymJson(station.address, ['read', SPEED])[0].value, 1234);
  } finally {
    await viewer.close();
  }

  // A controller that refuses every write.
  const guarded = await plcsim(['--read-only']);
  const refusing = await gateway(guarded.address);
  const client = await connect(refusing.url);
  try {
    assert.equal(await write(client.session, client.id(SPEED), DataType.Int16, 1),
                 StatusCodes.BadUserAccessDenied);
  } finally {
    await client.close();
  }
});

test('a station stopped and started again: its values turn bad, then good', { timeout: 120000 },
     async () => {
  let station = await plcsim();
  const listen = station.listen;
  const server = await gateway(station.address);
  const ua = await connect(server.url);
  const subscription = ClientSubscription.create(ua.session, {
    requestedPublishingInterval: 100, requestedMaxKeepAliveCount: 20,
    requestedLifetimeCount: 6000, publishingEnabled: true });
  const seen = [];
  const item = ClientMonitoredItem.create(subscription,
    { nodeId: ua.id(TEMPERATURE), attributeId: AttributeIds.Value },
    { samplingInterval: 100, queueSize: 10 }, TimestampsToReturn.Both);
  item.on('changed', (dataValue) => seen.push(dataValue.statusCode));
  const state = async () => (await ua.session.read({ nodeId: ua.id('Station/ConnectionState') }))
    .value.value;
  try {
    await until(() => seen.includes(StatusCodes.Good), 15000, 'good value');
    await stop(station.child);
    await until(() => seen.at(-1) === StatusCodes.BadNoCommunication, 30000, 'bad value');
    assert.notEqual(await state(), 'connected');
    // A read of a node nobody monitors says so too.
    assert.equal((await ua.session.read({ nodeId: ua.id(SPEED) })).statusCode,
                 StatusCodes.BadNoCommunication);
    station = await plcsim([], listen);
    await until(() => seen.at(-1) === StatusCodes.Good, 60000, 'good value after the mend');
    await until(async () => await state() === 'connected', 5000, 'connected state');
    assert.equal((await ua.session.read({ nodeId: ua.id(SPEED) })).statusCode, StatusCodes.Good);
  } finally {
    await item.terminate();
    await subscription.terminate();
    await ua.close();
  }
});

test('another project after a restart of the station: its new names become nodes, gone ones ' +
     'go, and the others keep their NodeIds', { timeout: 120000 }, async () => {
  const folder = temporaryFolder('project');
  const sample = fs.readFileSync(path.join(__dirname, '..', '..', '..', 'examples',
                                           'sample_project.sdbdesc'), 'utf8');
  const changed = sample.split('\n').filter((line) => !/\bLine2\.Running\b/.test(line))
    .map((line) => (line.startsWith('id ') ? 'id 0x2026120C' : line))
    .concat(['var Line2.Extra.Count type DINT area 3 offset 300', 'init Line2.Extra.Count 77', '']);
  const project = path.join(folder, 'changed.sdbdesc');
  fs.writeFileSync(project, changed.join('\n'));

  let station = await plcsim(['--clock', 'manual']);
  const listen = station.listen;
  const server = await gateway(station.address);
  const ua = await connect(server.url);
  const read = async (name) => ua.session.read({ nodeId: ua.id(name) });
  try {
    assert.equal((await read('Line2.Running')).statusCode, StatusCodes.Good);
    assert.equal((await read('Line2.Extra.Count')).statusCode, StatusCodes.BadNodeIdUnknown);
    await stop(station.child);
    station = await plcsim(['--clock', 'manual', '--project', project], listen);
    await until(async () => (await read('Line2.Extra.Count')).value.value === 77, 60000,
                'the new variable');
    assert.equal((await read('Line2.Running')).statusCode, StatusCodes.BadNodeIdUnknown);
    const extra = await ua.session.browse(ua.id('Line2.Extra'));
    assert.deepEqual(extra.references.map((reference) => reference.nodeId.toString()),
                     [ua.id('Line2.Extra.Count')]);
    assert.equal((await read(TEMPERATURE)).statusCode, StatusCodes.Good);
    assert.equal((await ua.session.read({ nodeId: ua.id('Station/Identifier') })).value.value,
                 '0x2026120C');
  } finally {
    await ua.close();
  }
});

test('with --users: logins on the secured endpoint, a wrong password and anonymous access ' +
     'refused, plain passwords never taken; the certificate is kept', { timeout: 120000 },
     async () => {
  const station = await plcsim(['--clock', 'manual']);
  const folder = temporaryFolder('users');
  const hashed = ksym(['opcua', '--hash-password'], 'open sesame\n');
  assert.equal(hashed.status, 0, hashed.stderr);
  assert.match(hashed.stdout, /^scrypt\$/);
  assert.ok(!hashed.stdout.includes('open sesame'));
  const users = path.join(folder, 'users');
  fs.writeFileSync(users, `# the operators\nalice:${hashed.stdout}`);
  const plain = path.join(folder, 'plain');
  fs.writeFileSync(plain, 'bob:open sesame\n');
  const refused = ksym(['--station', station.address, 'opcua', '--listen', '127.0.0.1:0',
                        '--users', plain]);
  assert.equal(refused.status, 3);
  assert.match(refused.stderr, /line 1: not NAME:HASH/);

  const certificate = path.join(process.env.KSYM_ROOT, 'opcua', 'pki', 'own', 'certs',
                                'certificate.pem');
  const kept = fs.existsSync(certificate) ? fs.readFileSync(certificate) : null;
  const server = await gateway(station.address, ['--users', users]);
  if (kept !== null) assert.deepEqual(fs.readFileSync(certificate), kept);

  const ua = await connect(server.url, { secure: true,
                                         user: { userName: 'alice', password: 'open sesame' } });
  try {
    const value = await ua.session.read({ nodeId: ua.id(SPEED) });
    assert.equal(value.statusCode, StatusCodes.Good);
  } finally {
    await ua.close();
  }
  await assert.rejects(connect(server.url, { secure: true,
                                             user: { userName: 'alice', password: 'guess' } }));
  await assert.rejects(connect(server.url, { secure: true,
                                             user: { userName: 'mallory', password: 'x' } }));
  await assert.rejects(connect(server.url, { secure: true }));
});

test('beyond loopback: refused without --allow-remote; with it only the secured endpoints',
     { timeout: 120000 }, async () => {
  const station = await plcsim(['--clock', 'manual']);
  const refused = ksym(['--station', station.address, 'opcua', '--listen', '0.0.0.0:0']);
  assert.equal(refused.status, 3);
  assert.match(refused.stderr, /--allow-remote/);
  const server = await gateway(station.address, ['--listen', '0.0.0.0:0', '--allow-remote',
                                                 '--read-only']);
  const url = server.url.replace('0.0.0.0', '127.0.0.1');
  const client = OPCUAClient.create({ endpointMustExist: false,
                                      connectionStrategy: { maxRetry: 1 } });
  await client.connect(url);
  try {
    const endpoints = await client.getEndpoints();
    assert.ok(endpoints.length > 0);
    assert.ok(endpoints.every((endpoint) =>
      endpoint.securityMode !== MessageSecurityMode.None &&
      endpoint.securityPolicyUri.endsWith('#Basic256Sha256')), JSON.stringify(endpoints));
  } finally {
    await client.disconnect();
  }
});

test('without Node.js or the gateway\'s modules, ksym opcua says which is missing', () => {
  const noNode = ksym(['opcua'], undefined, { KSYM_NODE: '/nonexistent/node' });
  assert.equal(noNode.status, 3);
  assert.match(noNode.stderr, /opcua is missing: it runs on Node\.js/);
  const noModules = ksym(['opcua'], undefined, { KSYM_OPCUA_DIR: temporaryFolder('empty') });
  assert.equal(noModules.status, 3);
  assert.match(noModules.stderr, /its gateway and Node\.js modules are not installed/);
});

// Whether a process runs (a zombie does not).
function alive(pid) {
  try {
    return fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1][0] !== 'Z';
  } catch {
    return false;
  }
}

test('SIGTERM ends ksym opcua cleanly with its gateway; a ksym killed outright takes its ' +
     'gateway with it', { timeout: 120000 }, async () => {
  const station = await plcsim(['--clock', 'manual']);
  // A token of ksym's own environment is not the one the gateway is given.
  const ended = await gateway(station.address, [], { KSYM_API_TOKEN: 'not-the-token' });
  const endedGateway = gatewayPid(ended.child.pid);
  assert.equal(await stop(ended.child), 0);
  assert.ok(!alive(endedGateway));

  const killed = await gateway(station.address);
  const orphan = gatewayPid(killed.child.pid);
  killed.child.kill('SIGKILL');
  await until(() => !alive(orphan), 10000, 'end of the orphaned gateway');
});
