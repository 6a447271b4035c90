// Site devices for the load programs, on the independent library: one node process plays
// <count> devices, one per UDP port from <first port> on, each with analog values 1..<objects>.
// Every ReadProperty of an analog value's present value is answered after <delay ms>
// (0: at once; -1: never). Other reads get unknown-object.
// Usage: node load_devices.js <interface> <first port> <count> <delay ms> <objects>
// Prints {"event":"listening"} once every device listens; {"cmd":"count"} on stdin answers
// {"event":"count","reads":N} (reads answered so far); {"cmd":"quit"} ends it.
'use strict';
const path = require('path');
const Bacnet = require(path.join(__dirname, '../../tests/peer/node_modules/@bacnet-js/client'));
const readline = require('readline');

const BacnetClient = Bacnet.default || Bacnet;
const [iface, firstText, countText, delayText, objectsText] = process.argv.slice(2);
const first = parseInt(firstText, 10);
const count = parseInt(countText, 10) || 1;
const delay = parseInt(delayText, 10) || 0;
const objects = parseInt(objectsText, 10) || 100;
const T = Bacnet.ApplicationTag;
const AV = 2;
let reads = 0;
let listening = 0;

function out(obj) { process.stdout.write(JSON.stringify(obj) + '\n'); }

for (let i = 0; i < count; ++i) {
  const client = new BacnetClient({ interface: iface, port: first + i, apduTimeout: 3000 });
  client.on('listening', () => { if (++listening === count) out({ event: 'listening' }); });
  client.on('error', (err) => out({ event: 'error', message: String(err && err.message) }));
  client.on('readProperty', (msg) => {
    const { objectId, property } = msg.payload;
    if (objectId.type !== AV || objectId.instance < 1 || objectId.instance > objects ||
        property.id !== 85) {
      client.errorResponse(msg.header.sender, msg.service, msg.invokeId, 1, 31);
      return;
    }
    if (delay < 0) return;
    const answer = () => {
      ++reads;
      client.readPropertyResponse(msg.header.sender, msg.invokeId, objectId, property,
                                  [{ type: T.REAL, value: objectId.instance + 0.5 }]);
    };
    if (delay > 0) setTimeout(answer, delay); else answer();
  });
}

readline.createInterface({ input: process.stdin }).on('line', (line) => {
  let cmd;
  try { cmd = JSON.parse(line); } catch (e) { return; }
  if (cmd.cmd === 'count') out({ event: 'count', reads });
  if (cmd.cmd === 'quit') process.exit(0);
});
