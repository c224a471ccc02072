// SPDX-License-Identifier: Apache-2.0
// S-records for the tests: S3 data from address 0 into one buffer, and back.
'use strict';

function parse(text) {
  const parts = [];
  let end = 0;
  for (const raw of text.split(/\r?\n/)) {
    const line = raw.trim();
    if (!/^S[123]/.test(line)) continue;
    const bytes = Buffer.from(line.slice(2), 'hex');
    const addressBytes = Number(line[1]) + 1;
    let sum = 0;
    for (const b of bytes) sum = (sum + b) & 0xff;
    if (sum !== 0xff) throw new Error('bad checksum: ' + line);
    const address = bytes.subarray(1, 1 + addressBytes).reduce((a, b) => a * 256 + b, 0);
    const data = bytes.subarray(1 + addressBytes, bytes.length - 1);
    parts.push([address, data]);
    end = Math.max(end, address + data.length);
  }
  const out = Buffer.alloc(end, 0xff);
  for (const [address, data] of parts) data.copy(out, address);
  return out;
}

function record(type, address, data) {
  const body = Buffer.alloc(1 + 4 + data.length);
  body[0] = 4 + data.length + 1;
  body.writeUInt32BE(address, 1);
  data.copy(body, 5);
  let sum = 0;
  for (const b of body) sum = (sum + b) & 0xff;
  return type + body.toString('hex').toUpperCase() +
    ((~sum) & 0xff).toString(16).padStart(2, '0').toUpperCase();
}

function write(image) {
  const lines = [];
  for (let at = 0; at < image.length; at += 32) {
    lines.push(record('S3', at, image.subarray(at, Math.min(at + 32, image.length))));
  }
  lines.push(record('S7', 0, Buffer.alloc(0)));
  return lines.join('\n') + '\n';
}

module.exports = { parse, write };
