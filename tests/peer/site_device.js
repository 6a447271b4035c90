// A site device built on the independent library: answers Who-Is, ReadProperty, WriteProperty and
// ReadRange for a small set of objects, and sends an event notification when told to.
// Usage: node site_device.js <interface address> <port> <broadcast address> <device instance>
// Objects: the device, analog value 1 (Present_Value 21.5, Units 62, Priority_Array), trend log 1
// (three log records). Analog value 666 is never answered; other objects get the error
// object / unknown-object. Prints one JSON object per line: {"event":"listening"},
// {"event":"whoIs"}, {"event":"read",...}, {"event":"ignored",...}, {"event":"write",...},
// {"event":"readRange",...}, {"event":"sent","cmd":"notify"}. Commands:
//   {"cmd":"notify","address":"10.47.0.1:47808"}   out-of-range event notification, alarm
//   {"cmd":"quit"}
'use strict';
const Bacnet = require('@bacnet-js/client');
const readline = require('readline');
const baApdu = require('@bacnet-js/client/dist/lib/apdu');
const baNpdu = require('@bacnet-js/client/dist/lib/npdu');
const services = require('@bacnet-js/client/dist/lib/services');

const BacnetClient = Bacnet.default || Bacnet;
const [iface, port, broadcastAddress, instanceText] = process.argv.slice(2);
const deviceId = parseInt(instanceText, 10) || 1001;
const client = new BacnetClient({
  interface: iface,
  port: parseInt(port, 10) || 47808,
  broadcastAddress: broadcastAddress || '255.255.255.255',
  apduTimeout: 3000,
});

const T = Bacnet.ApplicationTag;
const ARRAY_ALL = Bacnet.ASN1_ARRAY_ALL;
const AV = 2, DEVICE = 8, TREND_LOG = 20;
const priorityArray = new Array(16).fill(null);
let presentValue = 21.5;

function out(obj) {
  process.stdout.write(JSON.stringify(obj) + '\n');
}

function key(o) {
  return o.type + ':' + o.instance;
}

// Property values as application data, by object and property.
function valueOf(objectId, property) {
  const k = key(objectId);
  if (k === DEVICE + ':' + deviceId) {
    if (property.id === 77) return [{ type: T.CHARACTER_STRING, value: 'SiteDevice' }];
    if (property.id === 75) return [{ type: T.OBJECTIDENTIFIER, value: objectId }];
    if (property.id === 120) return [{ type: T.UNSIGNED_INTEGER, value: 260 }];
  } else if (k === AV + ':1') {
    if (property.id === 85) return [{ type: T.REAL, value: presentValue }];
    if (property.id === 117) return [{ type: T.ENUMERATED, value: 62 }];
    if (property.id === 77) return [{ type: T.CHARACTER_STRING, value: 'Boiler Temp' }];
    if (property.id === 87) {
      const el = (v) => (v === null ? { type: T.NULL, value: null } : { type: T.REAL, value: v });
      if (property.index === ARRAY_ALL) return priorityArray.map(el);
      if (property.index === 0) return [{ type: T.UNSIGNED_INTEGER, value: 16 }];
      if (property.index >= 1 && property.index <= 16) return [el(priorityArray[property.index - 1])];
      return undefined;
    }
  } else if (k === TREND_LOG + ':1') {
    if (property.id === 141) return [{ type: T.UNSIGNED_INTEGER, value: 3 }];
  }
  return undefined;
}

client.on('listening', () => out({ event: 'listening' }));
client.on('error', (err) => out({ event: 'error', message: String(err && err.message) }));

client.on('whoIs', (msg) => {
  out({ event: 'whoIs', address: msg.header.sender.address });
  client.iAmResponse(msg.header.sender, deviceId, 3, 260);
});

client.on('readProperty', (msg) => {
  const { objectId, property } = msg.payload;
  if (key(objectId) === AV + ':666') {
    out({ event: 'ignored', objectId, property: property.id });
    return;
  }
  const values = valueOf(objectId, property);
  out({ event: 'read', objectId, property: property.id, index: property.index });
  if (values === undefined) {
    client.errorResponse(msg.header.sender, msg.service, msg.invokeId, 1, 31);
  } else {
    client.readPropertyResponse(msg.header.sender, msg.invokeId, objectId, property, values);
  }
});

client.on('writeProperty', (msg) => {
  const { objectId, value } = msg.payload;
  const written = value.value && value.value[0] ? value.value[0].value : null;
  out({ event: 'write', objectId, property: value.property.id, value: written,
        priority: value.priority });
  if (key(objectId) === AV + ':1' && value.property.id === 85) {
    presentValue = written;
    if (value.priority >= 1 && value.priority <= 16) priorityArray[value.priority - 1] = written;
    client.simpleAckResponse(msg.header.sender, msg.service, msg.invokeId);
  } else {
    client.errorResponse(msg.header.sender, msg.service, msg.invokeId, 2, 40);
  }
});

// Log records: time stamp [0] (date, time), log datum [1] real [2].
function logRecord(i) {
  const real = Buffer.alloc(4);
  real.writeFloatBE(20 + i);
  return Buffer.concat([
    Buffer.from([0x0e, 0xa4, 126, 12, 8, 2, 0xb4, 10, i, 0, 0, 0x0f, 0x1e, 0x2c]),
    real,
    Buffer.from([0x1f]),
  ]);
}

client.on('readRange', (msg) => {
  const p = msg.payload;
  out({ event: 'readRange', objectId: p.objectId, position: p.position, count: p.count });
  const first = Math.max(1, p.position || 1);
  const last = Math.min(3, first + Math.max(0, (p.count || 0)) - 1);
  const records = [];
  for (let i = first; i <= last; i++) records.push(logRecord(i));
  const receiver = msg.header.sender;
  const buffer = client._getApduBuffer(receiver);
  baNpdu.encode(buffer, Bacnet.NpduControlPriority.NORMAL_MESSAGE, receiver);
  baApdu.encodeComplexAck(buffer, Bacnet.PduType.COMPLEX_ACK, 26, msg.invokeId);
  services.ReadRange.encodeAcknowledge(buffer, p.objectId, 131, ARRAY_ALL,
                                       { bitsUsed: 3, value: [0x60] }, records.length,
                                       Buffer.concat(records), Bacnet.ReadRangeType.BY_POSITION, 0);
  client.sendBvlc(receiver, buffer);
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
      client.unconfirmedEventNotification({ address: c.address }, {
        processId: 77,
        initiatingObjectId: { type: DEVICE, instance: deviceId },
        eventObjectId: { type: AV, instance: 1 },
        timeStamp: { type: Bacnet.TimeStamp.DATETIME, value: new Date(2026, 11, 8, 10, 30, 15) },
        notificationClass: 1,
        priority: 100,
        eventType: Bacnet.EventType.OUT_OF_RANGE,
        messageText: 'Boiler hot',
        notifyType: Bacnet.NotifyType.ALARM,
        ackRequired: true,
        fromState: 0,
        toState: 3,
        outOfRangeExceedingValue: 85.5,
        outOfRangeStatusFlags: { bitsUsed: 4, value: [0x80] },
        outOfRangeDeadband: 1,
        outOfRangeExceededLimit: 80,
      });
      out({ event: 'sent', cmd: 'notify' });
    } else if (c.cmd === 'quit') {
      client.close();
      process.exit(0);
    }
  } catch (e) {
    out({ event: 'error', message: String(e && e.stack) });
  }
});
rl.on('close', () => {
  client.close();
  process.exit(0);
});
