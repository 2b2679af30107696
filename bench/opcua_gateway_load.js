'use strict';
// The load of ksym opcua under many monitored items: a station of ITEMS DINT variables whose
// values all change on every read (each a counter stepping every millisecond), one client
// monitoring every one at INTERVAL ms (queue size 1), for SECONDS after a warm-up. It prints
// the notifications delivered per second against the values that changed (every variable at
// every sampling), and the CPU of ksym and of its Node.js gateway (from /proc).
//   node bench/opcua_gateway_load.js [ITEMS] [INTERVAL] [SECONDS]
// with KSYM_TOOL and KSYM_PLCSIM naming the build's programs (default: the dev build's).
// Not a unit test: a measurement, run by hand; Google Benchmark has no hold on a Node.js
// server, so it lives here as a script.

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const root = path.join(__dirname, '..');
process.env.KSYM_TOOL = process.env.KSYM_TOOL || path.join(root, 'build/dev/tools/ksym/ksym');
process.env.KSYM_PLCSIM = process.env.KSYM_PLCSIM ||
  path.join(root, 'build/dev/tools/plcsim/plcsim');
const { plcsim, gateway, gatewayPid, stopAll, temporaryFolder } =
  require(path.join(root, 'tests/tools/opcua/processes'));
const { opcua, connect } = require(path.join(root, 'tests/tools/opcua/client'));

const [items, interval, seconds] = [Number(process.argv[2] || 1000),
                                    Number(process.argv[3] || 100), Number(process.argv[4] || 20)];
const TICKS_PER_SECOND = 100; // USER_HZ on Linux

function project(folder) {
  const lines = ['project BENCH.PRO', 'id 0x42454E43', 'version 1', 'type DINT code 6 size 4'];
  for (let k = 0; k < items; ++k) {
    lines.push(`var Bench.Group${Math.floor(k / 100)}.Value${k} type DINT area 3 offset ${4 * k}`);
  }
  for (let k = 0; k < items; ++k) {
    lines.push(`counter Bench.Group${Math.floor(k / 100)}.Value${k} step 1 every 0.001`);
  }
  const file = path.join(folder, 'bench.sdbdesc');
  fs.writeFileSync(file, lines.join('\n') + '\n');
  return file;
}

// User and system CPU seconds of a process so far.
function cpu(pid) {
  const fields = fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
  return (Number(fields[11]) + Number(fields[12])) / TICKS_PER_SECOND;
}

async function main() {
  const folder = temporaryFolder('bench');
  process.env.KSYM_ROOT = folder;
  const station = await plcsim(['--project', project(folder), '--memory', String(4 * items + 16)]);
  const server = await gateway(station.address);
  const node = gatewayPid(server.child.pid);
  const ua = await connect(server.url);
  const { ClientSubscription, ClientMonitoredItemGroup, AttributeIds, TimestampsToReturn } = opcua;
  const subscription = ClientSubscription.create(ua.session, {
    requestedPublishingInterval: interval, requestedMaxKeepAliveCount: 20,
    requestedLifetimeCount: 6000, maxNotificationsPerPublish: 0, publishingEnabled: true });
  const names = Array.from({ length: items },
                           (_, k) => `Bench.Group${Math.floor(k / 100)}.Value${k}`);
  const group = ClientMonitoredItemGroup.create(subscription,
    names.map((name) => ({ nodeId: ua.id(name), attributeId: AttributeIds.Value })),
    { samplingInterval: interval, queueSize: 1, discardOldest: true }, TimestampsToReturn.Both);
  let notifications = 0;
  let bad = 0;
  group.on('changed', (_item, dataValue) => {
    notifications += 1;
    if (!dataValue.statusCode.isGood()) bad += 1;
  });
  await new Promise((resolve) => setTimeout(resolve, 5000)); // warm-up: every stream open
  const start = { time: process.hrtime.bigint(), ksym: cpu(server.child.pid), node: cpu(node),
                  client: process.cpuUsage(), count: notifications };
  await new Promise((resolve) => setTimeout(resolve, seconds * 1000));
  const elapsed = Number(process.hrtime.bigint() - start.time) / 1e9;
  const delivered = (notifications - start.count) / elapsed;
  const changed = items * (1000 / interval);
  const client = process.cpuUsage(start.client);
  console.log(`items ${items}, sampling ${interval} ms, ${elapsed.toFixed(1)} s measured, ` +
              `${os.cpus().length} cores`);
  console.log(`values changed per second (every item at every sampling): ${changed.toFixed(0)}`);
  console.log(`notifications delivered per second: ${delivered.toFixed(0)} ` +
              `(${(100 * delivered / changed).toFixed(1)} %), bad: ${bad}`);
  console.log(`CPU of ksym: ${(100 * (cpu(server.child.pid) - start.ksym) / elapsed).toFixed(1)} %, ` +
              `of its gateway: ${(100 * (cpu(node) - start.node) / elapsed).toFixed(1)} %, ` +
              `of this client: ${(100 * (client.user + client.system) / 1e6 / elapsed).toFixed(1)} %`);
  await group.terminate();
  await subscription.terminate();
  await ua.close();
  await stopAll();
}

main().catch(async (error) => {
  console.error(error);
  await stopAll();
  process.exit(1);
});
