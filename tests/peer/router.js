// A minimal BACnet/IP router for the tests, written from the standard (clause 6 and Annex J):
// one port on the local BACnet/IP network (0.0.0.0:<port>) and one towards a remote network
// <net> whose single device sits at <device address:port>. It answers Who-Is-Router-To-Network,
// announces itself with I-Am-Router-To-Network, forwards NPDUs for <net> (and global broadcasts)
// to the device without their destination, and forwards the device's NPDUs to the local client
// that spoke last, with SNET/SADR added.
// Usage: node router.js <local port> <net> <remote bind address:port> <device address:port>
// Prints {"event":"listening"}, {"event":"forward","to":"remote"|"local"}, ...
'use strict';
const dgram = require('dgram');

const [localPortText, netText, remoteBind, deviceText] = process.argv.slice(2);
const localPort = parseInt(localPortText, 10) || 47808;
const remoteNet = parseInt(netText, 10) || 5;
const [remoteHost, remotePortText] = remoteBind.split(':');
const [deviceHost, devicePortText] = deviceText.split(':');
const devicePort = parseInt(devicePortText, 10);
const deviceMac = Buffer.concat([
  Buffer.from(deviceHost.split('.').map((x) => parseInt(x, 10))),
  Buffer.from([devicePort >> 8, devicePort & 0xff]),
]);

function out(obj) {
  process.stdout.write(JSON.stringify(obj) + '\n');
}

const local = dgram.createSocket({ type: 'udp4', reuseAddr: true });
const remote = dgram.createSocket({ type: 'udp4', reuseAddr: true });
let lastClient = null;  // { address, port }
let ready = 0;

function bvlc(func, npdu) {
  const b = Buffer.alloc(4);
  b[0] = 0x81;
  b[1] = func;
  b.writeUInt16BE(npdu.length + 4, 2);
  return Buffer.concat([b, npdu]);
}

function iAmRouter() {
  return Buffer.from([0x01, 0x80, 0x01, remoteNet >> 8, remoteNet & 0xff]);
}

// { control, dnet, dadr, snet, sadr, hop, body } or null.
function parseNpdu(b) {
  if (b.length < 2 || b[0] !== 1) return null;
  const control = b[1];
  let p = 2;
  const n = { control };
  if (control & 0x20) {
    if (p + 3 > b.length) return null;
    n.dnet = b.readUInt16BE(p);
    const len = b[p + 2];
    n.dadr = b.subarray(p + 3, p + 3 + len);
    p += 3 + len;
  }
  if (control & 0x08) {
    if (p + 3 > b.length) return null;
    n.snet = b.readUInt16BE(p);
    const len = b[p + 2];
    n.sadr = b.subarray(p + 3, p + 3 + len);
    p += 3 + len;
  }
  if (control & 0x20) {
    n.hop = b[p];
    p += 1;
  }
  if (p > b.length) return null;
  n.body = b.subarray(p);
  return n;
}

local.on('message', (msg, rinfo) => {
  if (msg.length < 4 || msg[0] !== 0x81) return;
  const func = msg[1];
  let npduStart = 4;
  if (func === 0x04) npduStart = 10;  // Forwarded-NPDU
  else if (func !== 0x0a && func !== 0x0b) return;
  const n = parseNpdu(msg.subarray(npduStart));
  if (!n) return;
  if (!lastClient || lastClient.address !== rinfo.address || lastClient.port !== rinfo.port) {
    lastClient = { address: rinfo.address, port: rinfo.port };
    local.send(bvlc(0x0a, iAmRouter()), rinfo.port, rinfo.address);
  }
  if (n.control & 0x80) {  // network-layer message
    if (n.body[0] === 0x00) {
      const asked = n.body.length >= 3 ? n.body.readUInt16BE(1) : null;
      if (asked === null || asked === remoteNet) {
        local.send(bvlc(0x0a, iAmRouter()), rinfo.port, rinfo.address);
        out({ event: 'iAmRouter' });
      }
    }
    return;
  }
  if (n.dnet !== remoteNet && n.dnet !== 0xffff) return;
  if (n.dnet === remoteNet && !n.dadr.equals(deviceMac) && n.dadr.length !== 0) return;
  // To the device as a plain local NPDU: version, control without DNET and SNET.
  const npdu = Buffer.concat([Buffer.from([0x01, n.control & 0x07]), n.body]);
  remote.send(bvlc(0x0a, npdu), devicePort, deviceHost);
  out({ event: 'forward', to: 'remote', broadcast: n.dnet === 0xffff });
});

remote.on('message', (msg, rinfo) => {
  if (msg.length < 4 || msg[0] !== 0x81 || !lastClient) return;
  if (rinfo.port !== devicePort) return;
  const func = msg[1];
  if (func !== 0x0a && func !== 0x0b) return;
  const n = parseNpdu(msg.subarray(4));
  if (!n || (n.control & 0x80)) return;
  const header = Buffer.alloc(5 + deviceMac.length);
  header[0] = 0x01;
  header[1] = (n.control & 0x07) | 0x08;
  header.writeUInt16BE(remoteNet, 2);
  header[4] = deviceMac.length;
  deviceMac.copy(header, 5);
  local.send(bvlc(0x0a, Buffer.concat([header, n.body])), lastClient.port, lastClient.address);
  out({ event: 'forward', to: 'local' });
});

function listening() {
  if (++ready === 2) out({ event: 'listening' });
}
local.on('listening', () => {
  local.setBroadcast(true);
  listening();
});
remote.on('listening', listening);
local.bind(localPort, '0.0.0.0');
remote.bind(parseInt(remotePortText, 10), remoteHost);

process.stdin.on('data', (d) => {
  if (String(d).includes('quit')) process.exit(0);
});
process.stdin.on('end', () => process.exit(0));
