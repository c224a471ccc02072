// SPDX-License-Identifier: Apache-2.0
// Test-only navigator.serial: one port whose bytes go over a WebSocket to
// serial_bridge.py and on to a pseudo-terminal. Put in the page before its
// scripts run, with window.ZELVAR_BRIDGE_URL set.
(function () {
  var socket = null;
  var opened = null;
  var held = [];         // bytes that came while the port was closed
  var controller = null;  // the open readable's
  function connect() {
    if (opened) return opened;
    socket = new WebSocket(window.ZELVAR_BRIDGE_URL);
    socket.binaryType = 'arraybuffer';
    socket.onmessage = function (event) {
      var bytes = new Uint8Array(event.data);
      if (controller) controller.enqueue(bytes);
      else held.push(bytes);
    };
    opened = new Promise(function (resolve, reject) {
      socket.onopen = resolve;
      socket.onerror = function () { reject(new DOMException('bridge unreachable', 'NetworkError')); };
    });
    return opened;
  }
  var port = {
    readable: null,
    writable: null,
    getInfo: function () { return {usbVendorId: 0x0403, usbProductId: 0x6001}; },
    setSignals: async function () {},
    open: async function (options) {
      if (this.readable) throw new DOMException('The port is already open.', 'InvalidStateError');
      await connect();
      socket.send(JSON.stringify({op: 'open', baud: options.baudRate}));
      var self = this;
      this.readable = new ReadableStream({
        start: function (c) {
          controller = c;
          held.forEach(function (b) { c.enqueue(b); });
          held = [];
        },
        cancel: function () { controller = null; },
      });
      this.writable = new WritableStream({
        write: function (chunk) { socket.send(chunk); },
      });
    },
    close: async function () {
      controller = null;
      this.readable = null;
      this.writable = null;
      socket.send(JSON.stringify({op: 'close'}));
    },
  };
  Object.defineProperty(navigator, 'serial', {
    value: {requestPort: async function () { return port; }, getPorts: async function () { return [port]; }},
    configurable: true,
  });
})();
