// A BBMD with a foreign-device table, written from ANSI/ASHRAE 135 Annex J (J.4, J.5) on plain
// UDP sockets, for the foreign-device tests. No broadcast distribution table peers.
// Usage: node bbmd.js <own address> <port> <subnet broadcast address>
// Prints one JSON object per line: {"event":"listening"}, {"event":"register","address":..,"ttl":..,
// "result":..}, {"event":"delete","address":..,"entry":..,"result":..}, {"event":"distribute",
// "from":..,"result":..}, {"event":"forward","from":..}. Commands on stdin:
//   {"cmd":"nak","on":true}   refuse registrations (result 0x0030) until told otherwise
//   {"cmd":"quit"}
'use strict';
const dgram = require('dgram');
const readline = require('readline');

const [ownAddress, portText, subnetBroadcast] = process.argv.slice(2);
const port = parseInt(portText, 10) || 47808;
const GRACE_S = 30;  // J.5.2.3: entries live their time-to-live plus 30 seconds
const fdt = new Map();  // "a.b.c.d:port" -> expiry (ms)
let refuse = false;

function out(obj) {
  process.stdout.write(JSON.stringify(obj) + '\n');
}

const sock = dgram.createSocket({ type: 'udp4', reuseAddr: true });

function addrText(buf, at) {
  return `${buf[at]}.${buf[at + 1]}.${buf[at + 2]}.${buf[at + 3]}:${buf.readUInt16BE(at + 4)}`;
}

function addrOctets(text) {
  const [ip, p] = text.split(':');
  const b = Buffer.alloc(6);
  ip.split('.').forEach((x, i) => { b[i] = parseInt(x, 10); });
  b.writeUInt16BE(parseInt(p, 10), 4);
  return b;
}

function send(buf, text) {
  const [ip, p] = text.split(':');
  sock.send(buf, parseInt(p, 10), ip);
}

function result(code, to) {
  const b = Buffer.from([0x81, 0x00, 0x00, 0x06, 0, 0]);
  b.writeUInt16BE(code, 4);
  send(b, to);
}

function forwarded(origin, npdu) {
  const head = Buffer.from([0x81, 0x04, 0, 0]);
  const b = Buffer.concat([head, addrOctets(origin), npdu]);
  b.writeUInt16BE(b.length, 2);
  return b;
}

function liveEntries() {
  const now = Date.now();
  for (const [k, t] of fdt) if (t < now) fdt.delete(k);
  return [...fdt.keys()];
}

sock.on('message', (msg, rinfo) => {
  const from = `${rinfo.address}:${rinfo.port}`;
  if (rinfo.address === ownAddress && rinfo.port === port) return;
  if (msg.length < 4 || msg[0] !== 0x81 || msg.readUInt16BE(2) !== msg.length) return;
  const fn = msg[1];
  if (fn === 0x05 && msg.length === 6) {  // Register-Foreign-Device
    const ttl = msg.readUInt16BE(4);
    const code = refuse ? 0x0030 : 0x0000;
    if (!refuse) fdt.set(from, Date.now() + (ttl + GRACE_S) * 1000);
    out({ event: 'register', address: from, ttl, result: code });
    result(code, from);
  } else if (fn === 0x08 && msg.length === 10) {  // Delete-Foreign-Device-Table-Entry
    const entry = addrText(msg, 4);
    const code = fdt.delete(entry) ? 0x0000 : 0x0050;
    out({ event: 'delete', address: from, entry, result: code });
    result(code, from);
  } else if (fn === 0x09) {  // Distribute-Broadcast-To-Network
    const registered = liveEntries().includes(from);
    out({ event: 'distribute', from, result: registered ? 0 : 0x0060 });
    if (!registered) {
      result(0x0060, from);
      return;
    }
    const f = forwarded(from, msg.subarray(4));
    send(f, `${subnetBroadcast}:${port}`);
    for (const e of liveEntries()) if (e !== from) send(f, e);
  } else if (fn === 0x0B) {  // Original-Broadcast-NPDU on our subnet: to every foreign device
    const f = forwarded(from, msg.subarray(4));
    for (const e of liveEntries()) send(f, e);
    out({ event: 'forward', from });
  }
});

sock.on('listening', () => {
  sock.setBroadcast(true);
  out({ event: 'listening' });
});
sock.on('error', (e) => out({ event: 'error', message: String(e && e.message) }));
sock.bind(port, '0.0.0.0');

readline.createInterface({ input: process.stdin }).on('line', (line) => {
  let c;
  try {
    c = JSON.parse(line);
  } catch (e) {
    return;
  }
  if (c.cmd === 'nak') refuse = !!c.on;
  if (c.cmd === 'quit') process.exit(0);
});
