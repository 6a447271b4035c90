// A site device for the command tests and the demo, on the independent library: a device with
// analog, binary and multi-state objects, trend logs, an alarm it can raise and acknowledge.
// Usage: node site.js <interface> <port> <broadcast address> <device instance> [options JSON]
// Options: {"clock": false} leaves local-date/local-time unanswered; {"name": "..."} names the
// device; {"remote": true} gives the small object set of a device behind a router;
// {"alarmAbove": 80} raises the alarm to the writer when AV1 is written above that value;
// {"claimObjects": n} claims an object list of n entries (the entries past its own fail);
// {"silent": true} answers Who-Is and nothing else; {"iAmDelayMs": n} answers Who-Is n ms late;
// {"clockOffsetMs": n} gives a running clock n ms ahead of the machine's (hundredths included)
// instead of the fixed one; {"valueKinds": true} adds AV10 REAL 0.1, AV11 REAL 1e-5, AV12 DOUBLE
// 1/3 and AO13 "Damper" REAL 0 with relinquish-default 0.
// Objects (full set): AV1 "Boiler Temp" 21.5 degC; AI2 "Outside Air" 55.25 degF; BV3 "Pump"
// whose present value answers as the text "ON" (as some gateways do), active "Running",
// inactive "Stopped"; BI4 "Door" 1; MSV5 "Mode" 2; AV6 "Flaky" whose reads fail until it is
// written; TL7 with 30 records, TL8 with 200 records, TL9 whose buffer reads fail.
// Prints one JSON object per line: listening, whoIs, read, write, readRange, ackAlarm, sent.
// Commands on stdin: {"cmd":"notify","address":"10.47.0.1"} (an alarm that needs an
// acknowledgement, message "{I2<Operator note>Boiler fault}"), {"cmd":"quit"}.
'use strict';
const Bacnet = require('@bacnet-js/client');
const readline = require('readline');
const baApdu = require('@bacnet-js/client/dist/lib/apdu');
const baNpdu = require('@bacnet-js/client/dist/lib/npdu');
const services = require('@bacnet-js/client/dist/lib/services');

const BacnetClient = Bacnet.default || Bacnet;
const [iface, port, broadcastAddress, instanceText, optionText] = process.argv.slice(2);
const deviceId = parseInt(instanceText, 10) || 1001;
const options = optionText ? JSON.parse(optionText) : {};
const client = new BacnetClient({
  interface: iface,
  port: parseInt(port, 10) || 47808,
  broadcastAddress: broadcastAddress || '255.255.255.255',
  apduTimeout: 3000,
});

const T = Bacnet.ApplicationTag;
const AI = 0, AO = 1, AV = 2, BI = 3, BV = 5, DEVICE = 8, MSV = 19, TREND_LOG = 20;

const real = (v) => ({ type: T.REAL, value: v });
const text = (v) => ({ type: T.CHARACTER_STRING, value: v });
const enumerated = (v) => ({ type: T.ENUMERATED, value: v });
const unsigned = (v) => ({ type: T.UNSIGNED_INTEGER, value: v });
const bool = (v) => ({ type: T.BOOLEAN, value: v });

// Objects: key "type:instance" -> { props: {id: value}, records?: n, failRange?: true }.
const objects = {};
function add(type, instance, props, extra) {
  objects[type + ':' + instance] = Object.assign({ type, instance, props }, extra || {});
}
if (options.remote) {
  add(AV, 1, { 77: text('Remote Temp'), 85: real(10), 117: enumerated(62), 81: bool(false) });
} else {
  add(AV, 1, { 77: text('Boiler Temp'), 85: real(21.5), 117: enumerated(62), 81: bool(false) });
  add(AI, 2, { 77: text('Outside Air'), 85: real(55.25), 117: enumerated(64), 81: bool(false) });
  add(BV, 3, { 77: text('Pump'), 85: text('ON'), 4: text('Running'), 46: text('Stopped'),
               81: bool(false) });
  add(BI, 4, { 77: text('Door'), 85: enumerated(1), 81: bool(false) });
  add(MSV, 5, { 77: text('Mode'), 85: unsigned(2), 81: bool(false) });
  add(AV, 6, { 77: text('Flaky'), 85: real(7), 117: enumerated(95), 81: bool(false) },
      { broken: true });
  add(TREND_LOG, 7, { 77: text('Boiler Log'), 141: unsigned(30) }, { records: 30 });
  add(TREND_LOG, 8, { 77: text('Long Log'), 141: unsigned(200) }, { records: 200 });
  add(TREND_LOG, 9, { 77: text('Broken Log'), 141: unsigned(10) }, { failRange: true });
}
if (options.valueKinds) {
  add(AV, 10, { 77: text('Tenth'), 85: real(0.1), 81: bool(false) });
  add(AV, 11, { 77: text('Tiny'), 85: real(1e-5), 81: bool(false) });
  add(AV, 12, { 77: text('Third'), 85: { type: T.DOUBLE, value: 1 / 3 }, 81: bool(false) });
  add(AO, 13, { 77: text('Damper'), 85: real(0), 104: real(0), 81: bool(false) });
}
const objectList = [{ type: DEVICE, instance: deviceId }].concat(
  Object.values(objects).map((o) => ({ type: o.type, instance: o.instance })));

function pad(n) { return n < 10 ? '0' + n : '' + n; }

function deviceValue(property) {
  switch (property.id) {
    case 77: return [text(options.name || 'Site Device ' + deviceId)];
    case 75: return [{ type: T.OBJECTIDENTIFIER, value: { type: DEVICE, instance: deviceId } }];
    case 120: return [unsigned(260)];
    case 70: return [text('Site~Box')];
    case 76:
      if (property.index === 0) return [unsigned(options.claimObjects || objectList.length)];
      if (property.index >= 1 && property.index <= objectList.length)
        return [{ type: T.OBJECTIDENTIFIER, value: objectList[property.index - 1] }];
      if (property.index === Bacnet.ASN1_ARRAY_ALL)
        return objectList.map((o) => ({ type: T.OBJECTIDENTIFIER, value: o }));
      return undefined;
    case 56:
      if (options.clock === false) return undefined;
      return [{ type: T.DATE, value: clockNow() }];
    case 57:
      if (options.clock === false) return undefined;
      return [{ type: T.TIME, value: clockNow() }];
    default: return undefined;
  }
}

function clockNow() {
  if (options.clockOffsetMs === undefined) return new Date(2026, 0, 15, 8, 30, 45);
  return new Date(Date.now() + options.clockOffsetMs);
}

function valueOf(objectId, property) {
  if (objectId.type === DEVICE && objectId.instance === deviceId) return deviceValue(property);
  const o = objects[objectId.type + ':' + objectId.instance];
  if (!o) return undefined;
  if (o.broken && property.id === 85) return undefined;
  const v = o.props[property.id];
  return v === undefined ? undefined : [v];
}

function out(obj) {
  process.stdout.write(JSON.stringify(obj) + '\n');
}

client.on('listening', () => out({ event: 'listening' }));
client.on('error', (err) => out({ event: 'error', message: String(err && err.message) }));

client.on('whoIs', (msg) => {
  const forwardedFrom = msg.header.sender.forwardedFrom || undefined;
  out({ event: 'whoIs', address: msg.header.sender.address, forwardedFrom });
  // Answered to the asker, so that a device behind a router answers through it. A Who-Is a
  // BBMD passed on is answered with a broadcast, which the BBMD passes to its foreign devices.
  const answer = () =>
    client.iAmResponse(forwardedFrom ? undefined : msg.header.sender, deviceId, 3, 260);
  if (options.iAmDelayMs) setTimeout(answer, options.iAmDelayMs);
  else answer();
});

client.on('readProperty', (msg) => {
  const { objectId, property } = msg.payload;
  if (options.silent) {
    out({ event: 'ignored', objectId, property: property.id });
    return;
  }
  const values = valueOf(objectId, property);
  out({ event: 'read', objectId, property: property.id, index: property.index,
        answered: values !== undefined });
  if (values === undefined) {
    const known = objectId.type === DEVICE || objects[objectId.type + ':' + objectId.instance];
    client.errorResponse(msg.header.sender, msg.service, msg.invokeId, known ? 2 : 1,
                         known ? 32 : 31);
  } else {
    client.readPropertyResponse(msg.header.sender, msg.invokeId, objectId, property, values);
  }
});

client.on('writeProperty', (msg) => {
  const { objectId, value } = msg.payload;
  const written = value.value && value.value[0] ? value.value[0] : null;
  const o = objects[objectId.type + ':' + objectId.instance];
  out({ event: 'write', objectId, property: value.property.id,
        value: written ? written.value : null, tag: written ? written.type : null,
        priority: value.priority });
  const writable = [85, 81, 104];
  if (o && written && writable.includes(value.property.id)) {
    o.props[value.property.id] = { type: written.type, value: written.value };
    if (value.property.id === 85) o.broken = false;
    client.simpleAckResponse(msg.header.sender, msg.service, msg.invokeId);
    if (options.alarmAbove !== undefined && o.type === AV && o.instance === 1 &&
        value.property.id === 85 && written.value > options.alarmAbove)
      notify(msg.header.sender.address, undefined, written.value);
  } else {
    client.errorResponse(msg.header.sender, msg.service, msg.invokeId, 2, 40);
  }
});

// Log record n (1-based): 8 December 2026, minute n from midnight, value 20 + n / 2.
function logRecord(n) {
  const value = Buffer.alloc(4);
  value.writeFloatBE(20 + n / 2);
  const hour = Math.floor(n / 60), minute = n % 60;
  return Buffer.concat([
    Buffer.from([0x0e, 0xa4, 126, 12, 8, 2, 0xb4, hour, minute, 0, 0, 0x0f, 0x1e, 0x2c]),
    value,
    Buffer.from([0x1f, 0x2a, 0x04, 0x00]),
  ]);
}

client.on('readRange', (msg) => {
  const p = msg.payload;
  const o = objects[p.objectId.type + ':' + p.objectId.instance];
  out({ event: 'readRange', objectId: p.objectId, position: p.position, count: p.count });
  // Positions count from 1 (record 1 is the oldest); a standard device refuses position 0.
  if (!o || o.failRange || !o.records || !(p.position >= 1)) {
    client.errorResponse(msg.header.sender, msg.service, msg.invokeId, 2, 32);
    return;
  }
  const first = p.position;
  const last = Math.min(o.records, first + Math.max(0, p.count || 0) - 1);
  const records = [];
  for (let i = first; i <= last; i++) records.push(logRecord(i));
  const receiver = msg.header.sender;
  const buffer = client._getApduBuffer(receiver);
  baNpdu.encode(buffer, Bacnet.NpduControlPriority.NORMAL_MESSAGE, receiver);
  baApdu.encodeComplexAck(buffer, Bacnet.PduType.COMPLEX_ACK, 26, msg.invokeId);
  services.ReadRange.encodeAcknowledge(buffer, p.objectId, 131, Bacnet.ASN1_ARRAY_ALL,
                                       { bitsUsed: 3, value: [0x00] }, records.length,
                                       Buffer.concat(records), Bacnet.ReadRangeType.BY_POSITION,
                                       first);
  client.sendBvlc(receiver, buffer);
});

client.on('alarmAcknowledge', (msg) => {
  const p = msg.payload || {};
  out({ event: 'ackAlarm', processId: p.acknowledgedProcessId, objectId: p.eventObjectId,
        state: p.eventStateAcknowledged, source: p.acknowledgeSource,
        timeStamp: p.eventTimeStamp });
  client.simpleAckResponse(msg.header.sender, msg.service, msg.invokeId);
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
    if (c.cmd === 'notify') {
      notify(c.address, c.message);
    } else if (c.cmd === 'quit') {
      client.close();
      process.exit(0);
    }
  } catch (e) {
    out({ event: 'error', message: String(e && e.stack) });
  }
});

// The alarm: AV1 out of range, high limit, acknowledgement required.
function notify(address, message, value) {
  client.unconfirmedEventNotification({ address }, {
    processId: 77,
    initiatingObjectId: { type: DEVICE, instance: deviceId },
    eventObjectId: { type: AV, instance: 1 },
    timeStamp: { type: Bacnet.TimeStamp.DATETIME, value: new Date(2026, 11, 8, 10, 30, 15) },
    notificationClass: 1,
    priority: 100,
    eventType: Bacnet.EventType.OUT_OF_RANGE,
    messageText: message || '{I2<Operator note>Boiler fault}',
    notifyType: Bacnet.NotifyType.ALARM,
    ackRequired: true,
    fromState: 0,
    toState: 3,
    outOfRangeExceedingValue: value === undefined ? 85.5 : value,
    outOfRangeStatusFlags: { bitsUsed: 4, value: [0x80] },
    outOfRangeDeadband: 1,
    outOfRangeExceededLimit: 80,
  });
  out({ event: 'sent', cmd: 'notify' });
}

rl.on('close', () => {
  client.close();
  process.exit(0);
});
