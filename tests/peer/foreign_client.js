// A foreign BACnet/IP workstation built on the independent library: discovers devices and reads
// and writes their properties when the C++ test tells it to.
// Usage: node foreign_client.js <interface address> <port> <broadcast address>
// Prints one JSON object per line: {"event":"listening"}, {"event":"iAm",...},
// {"event":"read","values":[...]}, {"event":"readMultiple","values":[...]},
// {"event":"written"}, {"event":"failed","cmd":..,"message":..}. Commands, one JSON per line:
//   {"cmd":"whoIs"}   (optional "lowLimit"/"highLimit"; "address"/"net" to send it there)
//   {"cmd":"read","address":"10.47.0.1:47808","type":8,"instance":135,"property":77,"index":2}
//   {"cmd":"readMultiple","address":..,"type":8,"instance":135,"properties":[8],"maxApdu":2,
//    "maxSegments":0}
//   Any request may name "net" and "adr" (octets): it then goes through the address as router.
//   {"cmd":"readMultipleSpecs","address":..,"specs":[{"type":8,"instance":1,"properties":[77]}]}
//   {"cmd":"write","address":..,"type":8,"instance":135,"property":28,
//    "value":{"type":7,"value":"text"},"priority":8}
//   {"cmd":"quit"}
'use strict';
const Bacnet = require('@bacnet-js/client');
const readline = require('readline');

const BacnetClient = Bacnet.default || Bacnet;
const [iface, port, broadcastAddress] = process.argv.slice(2);
const client = new BacnetClient({
  interface: iface,
  port: parseInt(port, 10) || 47808,
  broadcastAddress: broadcastAddress || '255.255.255.255',
  apduTimeout: 3000,
});

function out(obj) {
  process.stdout.write(JSON.stringify(obj) + '\n');
}

client.on('listening', () => out({ event: 'listening' }));
client.on('error', (err) => out({ event: 'error', message: String(err && err.message) }));
client.on('iAm', (msg) => {
  const p = msg.payload || {};
  out({
    event: 'iAm',
    address: msg.header && msg.header.sender && msg.header.sender.address,
    net: msg.header && msg.header.sender && msg.header.sender.net,
    adr: msg.header && msg.header.sender && msg.header.sender.adr,
    deviceId: p.deviceId,
    maxApdu: p.maxApdu,
    segmentation: p.segmentation,
    vendorId: p.vendorId,
  });
});

async function run(c) {
  const receiver = { address: c.address };
  if (c.net !== undefined) receiver.net = c.net;
  if (c.adr !== undefined) receiver.adr = c.adr;
  const objectId = { type: c.type, instance: c.instance };
  // maxApdu: the max-APDU code to announce (e.g. 2 = 206 octets, so long answers come in
  // segments); maxSegments: the max-segments code (0 = unspecified).
  const options = {};
  if (c.maxApdu !== undefined) options.maxApdu = c.maxApdu;
  if (c.maxSegments !== undefined) options.maxSegments = c.maxSegments;
  if (c.cmd === 'whoIs') {
    const range = {};
    if (c.lowLimit !== undefined) range.lowLimit = c.lowLimit;
    if (c.highLimit !== undefined) range.highLimit = c.highLimit;
    if (c.address !== undefined) client.whoIs(receiver, range);
    else if (Object.keys(range).length > 0) client.whoIs(range);
    else client.whoIs();
    out({ event: 'sent', cmd: 'whoIs' });
  } else if (c.cmd === 'read') {
    if (c.index !== undefined) options.arrayIndex = c.index;
    const r = await client.readProperty(receiver, objectId, c.property, options);
    out({ event: 'read', property: c.property, values: r.values });
  } else if (c.cmd === 'readMultiple') {
    const r = await client.readPropertyMultiple(receiver, [
      { objectId, properties: c.properties.map((id) => ({ id, index: Bacnet.ASN1_ARRAY_ALL })) },
    ], options);
    out({ event: 'readMultiple', values: r.values });
  } else if (c.cmd === 'readMultipleSpecs') {
    const r = await client.readPropertyMultiple(receiver, c.specs.map((s) => ({
      objectId: { type: s.type, instance: s.instance },
      properties: s.properties.map((id) => ({ id, index: Bacnet.ASN1_ARRAY_ALL })),
    })), options);
    out({ event: 'readMultiple', values: r.values });
  } else if (c.cmd === 'write') {
    options.priority = c.priority;
    await client.writeProperty(receiver, objectId, c.property, [c.value], options);
    out({ event: 'written', property: c.property });
  } else if (c.cmd === 'quit') {
    client.close();
    process.exit(0);
  }
}

const rl = readline.createInterface({ input: process.stdin });
rl.on('line', (line) => {
  let c;
  try {
    c = JSON.parse(line);
  } catch (e) {
    out({ event: 'error', message: 'bad command ' + line });
    return;
  }
  run(c).catch((e) => out({ event: 'failed', cmd: c.cmd, message: String(e && e.message) }));
});
rl.on('close', () => {
  client.close();
  process.exit(0);
});
