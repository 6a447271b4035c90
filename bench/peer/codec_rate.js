// The independent library's rate for the codec comparison: decodes the given ReadPropertyMultiple
// acknowledgement and encodes the decoded result back, round after round for <ms> milliseconds.
// Usage: node codec_rate.js <hex> <ms>. Prints {"rounds":N,"seconds":S,"octets":K,"same":B}
// ("same": the re-encoding gives the input octets back).
'use strict';
const path = require('path');
const lib = path.join(__dirname, '../../tests/peer/node_modules/@bacnet-js/client/dist/lib');
const services = require(path.join(lib, 'services'));

const [hex, msText] = process.argv.slice(2);
const input = Buffer.from(hex, 'hex');
const ms = parseInt(msText, 10) || 2000;

function round() {
  const decoded = services.ReadPropertyMultiple.decodeAcknowledge(input, 0, input.length);
  const b = { buffer: Buffer.alloc(input.length + 512), offset: 0 };
  // The decoder names properties {id, index}; the encoder takes {property: {id, index}}.
  const results = decoded.values.map((r) => ({
    objectId: r.objectId,
    values: r.values.map((v) => ({ property: { id: v.id, index: v.index }, value: v.value })),
  }));
  services.ReadPropertyMultiple.encodeAcknowledge(b, results);
  return b;
}
const check = round();
const same = Buffer.compare(check.buffer.subarray(0, check.offset), input) === 0;
for (let i = 0; i < 2000; ++i) round();  // let the JIT settle
let rounds = 0;
const start = process.hrtime.bigint();
const end = start + BigInt(ms) * 1000000n;
let now = start;
while (now < end) {
  for (let i = 0; i < 100; ++i) round();
  rounds += 100;
  now = process.hrtime.bigint();
}
const out = { rounds, seconds: Number(now - start) / 1e9, octets: input.length, same };
console.log(JSON.stringify(out));
