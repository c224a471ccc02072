// SPDX-License-Identifier: Apache-2.0
// The JavaScript half of the Web Serial port (platform/web/serial_web.cpp
// calls it). The page puts the SerialPort the user chose in `port`; a rate
// change closes the port and opens it again at the new rate, since Web Serial
// has no way to change the rate of an open port.
var ZelvarWebSerial = {
  port: null,
  cause: '',
  baud: 0,
  chunks: [],
  buffered: 0,
  reader: null,
  writer: null,
  pump: null,
  wake: null,

  describe: function (what, error) {
    var why = error && error.name ? error.name + ': ' + error.message : String(error);
    this.cause = what + ' (' + why + ')';
    return 0;
  },
  notify: function () {
    var wake = this.wake;
    this.wake = null;
    if (wake) wake();
  },

  // Reads the port as fast as it delivers, so that nothing waits in the
  // browser's stream when the port is closed for a rate change.
  startPump: function () {
    var self = this;
    var reader = this.port.readable.getReader();
    this.reader = reader;
    this.pump = (async function () {
      try {
        for (;;) {
          var next = await reader.read();
          if (next.done) break;
          if (next.value && next.value.length) {
            self.chunks.push(next.value);
            self.buffered += next.value.length;
            self.notify();
          }
        }
      } catch (error) {
        // A device that went away: what was read stays, later reads time out.
        self.describe('the serial port stopped delivering', error);
      }
      try { reader.releaseLock(); } catch (ignored) {}
      if (self.reader === reader) self.reader = null;
      self.notify();
    })();
  },

  start: async function (baud) {
    try {
      await this.port.open({baudRate: baud, dataBits: 8, parity: 'none', stopBits: 1,
                            flowControl: 'none'});
    } catch (error) {
      return this.describe('the serial port could not be opened at ' + baud + ' baud', error);
    }
    this.baud = baud;
    try {
      await this.port.setSignals({dataTerminalReady: true, requestToSend: true});
    } catch (ignored) {
      // An adapter without modem lines is used without them.
    }
    this.writer = this.port.writable.getWriter();
    this.startPump();
    return 1;
  },

  stop: async function () {
    if (this.baud === 0) return;
    this.baud = 0;
    try {
      // Waits until what was written has gone out.
      await this.writer.close();
    } catch (ignored) {}
    try {
      if (this.reader) await this.reader.cancel();
    } catch (ignored) {}
    try { await this.pump; } catch (ignored) {}
    try { await this.port.close(); } catch (ignored) {}
    this.writer = null;
    this.reader = null;
    this.pump = null;
  },

  open: async function (baud) {
    this.cause = '';
    if (!this.port) {
      this.cause = 'no serial port was chosen (Connect picks one)';
      return 0;
    }
    await this.stop();
    this.chunks = [];
    this.buffered = 0;
    return await this.start(baud);
  },

  // which and asserted are masks of DTR (1) and RTS (2), as in platform.h;
  // a line not named in which is left as it is.
  setLines: async function (which, asserted) {
    if (this.baud === 0) {
      this.cause = 'the serial port is not open';
      return 0;
    }
    var signals = {};
    if (which & 1) signals.dataTerminalReady = (asserted & 1) !== 0;
    if (which & 2) signals.requestToSend = (asserted & 2) !== 0;
    try {
      await this.port.setSignals(signals);
    } catch (error) {
      this.describe('the port cannot drive its DTR/RTS lines', error);
      return 0;
    }
    return 1;
  },

  setBaud: async function (baud) {
    if (this.baud === 0) {
      this.cause = 'the serial port is not open';
      return 0;
    }
    // Bytes already here stay for the next read, as on a UART.
    await this.stop();
    return await this.start(baud);
  },

  take: function (out, offset, count) {
    var taken = 0;
    while (taken < count && this.chunks.length > 0) {
      var chunk = this.chunks[0];
      var n = Math.min(chunk.length, count - taken);
      out.set(chunk.subarray(0, n), offset + taken);
      taken += n;
      if (n === chunk.length) this.chunks.shift();
      else this.chunks[0] = chunk.subarray(n);
    }
    this.buffered -= taken;
    return taken;
  },

  // The time-outs of platform.h: a gap of intervalMs after the last bytes, or
  // constantMs + multiplierMs * length in all. Resolves with the bytes that
  // came, possibly none.
  read: async function (length, intervalMs, constantMs, multiplierMs) {
    var out = new Uint8Array(length);
    var now = performance.now();
    var totalDeadline = now + constantMs + multiplierMs * length;
    var intervalDeadline = totalDeadline;
    var got = 0;
    var self = this;
    while (got < length) {
      if (this.buffered > 0) {
        got += this.take(out, got, length - got);
        intervalDeadline = performance.now() + intervalMs;
        continue;
      }
      var wait = Math.min(intervalDeadline, totalDeadline) - performance.now();
      if (wait <= 0) break;
      await new Promise(function (resolve) {
        var timer = setTimeout(function () { self.wake = null; resolve(); }, wait);
        self.wake = function () { clearTimeout(timer); resolve(); };
      });
    }
    return out.subarray(0, got);
  },

  write: async function (bytes) {
    if (this.baud === 0 || !this.writer) {
      this.cause = 'the serial port is not open';
      return -1;
    }
    try {
      await this.writer.write(bytes);
    } catch (error) {
      this.describe('writing to the serial port failed', error);
      return -1;
    }
    return bytes.length;
  },
};
