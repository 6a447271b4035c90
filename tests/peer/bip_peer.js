// A BACnet/IP node built on the independent library, driven by the C++ tests.
// Usage: node bip_peer.js <interface address> <port> <broadcast address>
// Prints one JSON object per line: {"event":"listening"}, {"event":"iAm",...},
// {"event":"whoIs",...}, {"event":"error",...}. Reads one JSON command per line on stdin:
//   {"cmd":"whoIs"}                               global Who-Is (broadcast)
//   {"cmd":"whoIs","address":"10.47.0.1:47808"}   Who-Is to one node
//   {"cmd":"iAm","deviceId":7,"address":"..."}    I-Am (broadcast when address is missing)
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
  apduTimeout: 2000,
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
    deviceId: p.deviceId,
    maxApdu: p.maxApdu,
    segmentation: p.segmentation,
    vendorId: p.vendorId,
  });
});
client.on('whoIs', (msg) => {
  const p = msg.payload || {};
  out({
    event: 'whoIs',
    address: msg.header && msg.header.sender && msg.header.sender.address,
    lowLimit: p.lowLimit,
    highLimit: p.highLimit,
  });
});

const rl = readline.createInterface({ input: process.stdin });
rl.on('line', (line) => {
  let c;
  try {
    c = JSON.parse(line);
  } catch (e) {
    out({ event: 'error', message: 'bad command ' + line });
    return;
  }
  try {
    if (c.cmd === 'whoIs') {
      if (c.address) client.whoIs({ address: c.address });
      else client.whoIs();
      out({ event: 'sent', cmd: 'whoIs' });
    } else if (c.cmd === 'iAm') {
      const receiver = c.address ? { address: c.address } : undefined;
      client.iAmResponse(receiver, c.deviceId, 3, c.vendorId || 260);
      out({ event: 'sent', cmd: 'iAm' });
    } else if (c.cmd === 'quit') {
      client.close();
      process.exit(0);
    }
  } catch (e) {
    out({ event: 'error', message: String(e && e.message) });
  }
});
rl.on('close', () => {
  client.close();
  process.exit(0);
});
