// Encoding vectors from the independent library, for the codec tests. Prints one line per
// encoding: "<kind> <args...> = <hex>" (texts and octet strings as hex), then "end".
// Then reads lines "rpmack <hex>" / "rpack <hex>" and answers each with the library's decoding
// of that acknowledgement as one JSON line, until stdin closes.
'use strict';
process.env.TZ = 'UTC';
const Bacnet = require('@bacnet-js/client');
const asn1 = require('@bacnet-js/client/dist/lib/asn1');
const services = require('@bacnet-js/client/dist/lib/services');
const readline = require('readline');

const T = Bacnet.ApplicationTag;
const ARRAY_ALL = Bacnet.ASN1_ARRAY_ALL;

let seed = 12345;
function rnd() {  // xorshift32, deterministic
  seed ^= seed << 13; seed >>>= 0;
  seed ^= seed >>> 17;
  seed ^= seed << 5; seed >>>= 0;
  return seed;
}
function encode(f) {
  const b = { buffer: Buffer.alloc(4096), offset: 0 };
  f(b);
  return b.buffer.subarray(0, b.offset).toString('hex').toUpperCase();
}
const out = [];
function emit(args, f) { out.push(args.join(' ') + ' = ' + encode(f)); }
function app(type, value) { return (b) => asn1.bacappEncodeApplicationData(b, { type, value }); }

emit(['null'], app(T.NULL, null));
for (const v of [false, true]) emit(['boolean', 'A', 0, v ? 1 : 0], app(T.BOOLEAN, v));
for (const v of [false, true]) emit(['boolean', 'C', 9, v ? 1 : 0], (b) => asn1.encodeContextBoolean(b, 9, v));

const unsignedValues = [0, 1, 127, 128, 255, 256, 65535, 65536, 16777215, 16777216, 4294967295];
const signedValues = [0, 1, -1, 127, 128, -128, -129, 32767, 32768, -32768, -32769, 8388607,
  8388608, -8388608, -8388609, 2147483647, -2147483648];
for (let i = 0; i < 200; ++i) {
  const u = rnd() >>> (rnd() % 32);
  unsignedValues.push(u);
  signedValues.push(u | 0);
}
for (const v of unsignedValues) {
  emit(['unsigned', 'A', 0, v], app(T.UNSIGNED_INTEGER, v));
  emit(['enumerated', 'A', 0, v], app(T.ENUMERATED, v));
  const tag = rnd() % 16;
  emit(['unsigned', 'C', tag, v], (b) => asn1.encodeContextUnsigned(b, tag, v));
  emit(['enumerated', 'C', tag, v], (b) => asn1.encodeContextEnumerated(b, tag, v));
}
for (const v of signedValues) {
  emit(['signed', 'A', 0, v], app(T.SIGNED_INTEGER, v));
  const tag = rnd() % 16;
  emit(['signed', 'C', tag, v], (b) => asn1.encodeContextSigned(b, tag, v));
}
const reals = [0, 1, -1, 72.3, -33.3, 1e-30, 3.4e38, 1 / 3];
for (let i = 0; i < 50; ++i) reals.push(((rnd() / 4294967296) - 0.5) * Math.pow(10, rnd() % 20));
for (const r of reals) {
  const f = Math.fround(r);
  emit(['real', 'A', 0, f], app(T.REAL, f));
  emit(['real', 'C', 3, f], (b) => asn1.encodeContextReal(b, 3, f));
  emit(['double', 'A', 0, r], app(T.DOUBLE, r));
}
for (const n of [1, 2, 4, 5, 6, 253, 254, 255, 300, 1400]) {
  const bytes = [];
  for (let i = 0; i < n; ++i) bytes.push(rnd() & 255);
  emit(['octets', 'A', 0, Buffer.from(bytes).toString('hex')], app(T.OCTET_STRING, bytes));
}
for (const s of ['', 'a', 'abc', 'This is a BACnet string!', 'x'.repeat(252), 'y'.repeat(253),
  'z'.repeat(600)]) {
  const hex = Buffer.from(s, 'latin1').toString('hex') || '-';
  emit(['charstring', 'A', 0, hex], app(T.CHARACTER_STRING, s));
  emit(['charstring', 'C', 7, hex], (b) => asn1.encodeContextCharacterString(b, 7, s));
}
for (let n = 1; n <= 40; ++n) {
  let bits = '';
  const value = [];
  for (let i = 0; i < n; ++i) {
    const one = rnd() & 1;
    bits += one ? '1' : '0';
    if (one) value[i >> 3] = (value[i >> 3] || 0) | (1 << (i & 7));
  }
  for (let i = 0; i < (n + 7) >> 3; ++i) value[i] = value[i] || 0;
  emit(['bitstring', 'A', 0, bits], app(T.BIT_STRING, { bitsUsed: n, value }));
  emit(['bitstring', 'C', 0, bits], (b) => asn1.encodeContextBitstring(b, 0, { bitsUsed: n, value }));
}
for (let i = 0; i < 30; ++i) {
  const ms = Date.UTC(1900 + rnd() % 250, rnd() % 12, 1 + rnd() % 28, rnd() % 24, rnd() % 60,
    rnd() % 60, (rnd() % 100) * 10);
  const d = new Date(ms);
  emit(['date', 'A', 0, d.getUTCFullYear(), d.getUTCMonth() + 1, d.getUTCDate()],
    app(T.DATE, d));
  emit(['time', 'A', 0, d.getUTCHours(), d.getUTCMinutes(), d.getUTCSeconds(),
    d.getUTCMilliseconds()], app(T.TIME, d));
}
for (const [type, inst] of [[0, 0], [8, 3], [1023, 4194303], [20, 1], [3, 15]]) {
  emit(['objectid', 'A', 0, type, inst], app(T.OBJECTIDENTIFIER, { type, instance: inst }));
  emit(['objectid', 'C', 0, type, inst], (b) => asn1.encodeContextObjectId(b, 0, type, inst));
}
for (const tag of [0, 1, 3, 14, 15, 16, 100, 254]) {
  emit(['opening', tag], (b) => asn1.encodeOpeningTag(b, tag));
  emit(['closing', tag], (b) => asn1.encodeClosingTag(b, tag));
}
// Whole acknowledgements.
emit(['rpack'], (b) => services.ReadProperty.encodeAcknowledge(b, { type: 0, instance: 5 }, 85,
  ARRAY_ALL, [{ type: T.REAL, value: 72.3 }]));
emit(['rpmack'], (b) => asn1.encodeReadAccessResult(b, {
  objectId: { type: 2, instance: 7 },
  values: [
    { property: { id: 85, index: ARRAY_ALL }, value: [{ type: T.REAL, value: 21.5 }] },
    { property: { id: 117, index: ARRAY_ALL }, value: [{ type: T.ENUMERATED, value: 62 }] },
    { property: { id: 77, index: ARRAY_ALL }, value: [{ type: T.CHARACTER_STRING, value: 'Room 1' }] },
    { property: { id: 87, index: 3 }, value: [{ type: T.NULL, value: null }] },
    { property: { id: 81, index: ARRAY_ALL }, value: [{ type: T.BOOLEAN, value: false }] },
  ],
}));
for (const line of out) console.log(line);
console.log('end');

const rl = readline.createInterface({ input: process.stdin });
rl.on('line', (line) => {
  const [kind, hex] = line.trim().split(' ');
  const buf = Buffer.from(hex || '', 'hex');
  try {
    let r;
    if (kind === 'rpmack') r = services.ReadPropertyMultiple.decodeAcknowledge(buf, 0, buf.length);
    else if (kind === 'rpack') r = services.ReadProperty.decodeAcknowledge(buf, 0, buf.length);
    console.log(JSON.stringify(r === undefined ? null : r));
  } catch (e) {
    console.log(JSON.stringify({ error: String(e) }));
  }
});
