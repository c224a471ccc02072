// SPDX-License-Identifier: Apache-2.0
// The page around the WebAssembly core: the port chooser, the buttons, the
// progress bar, the outcome dialog and the trace. The core calls back into
// ZelvarPage; a run is awaited as a promise (Asyncify).
'use strict';

var ACTIONS = {update: 1, identify: 2, verify: 3, backup: 4, 'flash-file': 5};
var UPLOAD_PATH = '/tmp/zelvar-upload.s';
var $ = function (id) { return document.getElementById(id); };

var ZelvarPage = {
  ready: false,
  target: null,       // 'serial' or 'sim' once connected
  running: false,
  messages: [],
  lines: [],
  urls: [],

  message: function (text, caption, cause) {
    this.messages.push({text: text, caption: caption, cause: cause});
    if (!this.running) this.showOutcome(null);
  },
  progress: function (percent) {
    $('progress').setAttribute('value', String(percent));
    $('percent').textContent = percent + '%';
    if (this.running) this.watchBusy();
  },
  line: function (text) {
    this.lines.push(text);
  },

  blobUrl: function (bytes, type) {
    var url = URL.createObjectURL(new Blob([bytes], {type: type}));
    this.urls.push(url);
    return url;
  },

  showOutcome: function (status) {
    var last = this.messages.length ? this.messages[this.messages.length - 1]
                                    : {text: '', caption: '', cause: ''};
    $('outcome-caption').textContent = last.caption || (status === 0 ? 'Done' : 'Zelvar');
    $('outcome-text').textContent = last.text;
    $('outcome-cause').textContent = last.cause;
    var earlier = this.messages.slice(0, -1).map(function (m) { return m.text; });
    $('outcome-lines').textContent = earlier.concat(this.lines).join('\n');
    var dialog = $('outcome');
    if (status !== null) dialog.dataset.status = String(status);
    if (!dialog.open) dialog.showModal();
  },

  setButtons: function () {
    var idle = this.ready && this.target !== null && !this.running;
    ['update', 'identify', 'verify', 'backup'].forEach(function (id) { $(id).disabled = !idle; });
    $('flash-file').disabled = !idle || $('file').files.length === 0;
    $('connect').disabled = this.running || !this.ready;
    $('stop').disabled = !this.running;
    document.body.dataset.state = this.running ? 'running' : (idle ? 'idle' : 'waiting');
  },

  // While the flash is erased or written the Stop button is off and leaving
  // the page asks first; the core says when that is.
  watchBusy: function () {
    var busy = this.running && Module._ZelvarWebFlashBusy() === 1;
    $('stop').disabled = !this.running || busy;
    $('busy-reason').hidden = !busy;
    document.body.dataset.flashBusy = busy ? '1' : '0';
  },

  connect: async function () {
    var sim = $('target-sim').checked;
    if (sim) {
      if (Module.ccall('ZelvarWebUseSimulator', 'number', ['string'], [location.search]) !== 0) {
        this.target = null;
      } else {
        this.target = 'sim';
        $('port-label').textContent = 'Simulated receiver';
      }
      this.setButtons();
      return;
    }
    if (!('serial' in navigator)) {
      $('no-serial').hidden = false;
      return;
    }
    try {
      var port = await navigator.serial.requestPort();
      var info = port.getInfo ? port.getInfo() : {};
      var label = info.usbVendorId !== undefined
          ? 'USB serial ' + info.usbVendorId.toString(16).padStart(4, '0') + ':' +
            (info.usbProductId || 0).toString(16).padStart(4, '0')
          : 'serial port';
      ZelvarWebSerial.port = port;
      Module.ccall('ZelvarWebUseSerial', null, ['string'], [label]);
      this.target = 'serial';
      $('port-label').textContent = label;
    } catch (error) {
      $('status').textContent = 'No port was chosen (' + error.name + ').';
    }
    this.setButtons();
  },

  run: async function (name) {
    if (this.running) return;
    var path = '';
    if (name === 'flash-file' || (name === 'verify' && $('file').files.length > 0)) {
      var file = $('file').files[0];
      FS.writeFile(UPLOAD_PATH, new Uint8Array(await file.arrayBuffer()));
      path = UPLOAD_PATH;
    }
    this.messages = [];
    this.lines = [];
    this.running = true;
    this.progress(0);
    $('status').textContent = 'Running\u2026';
    $('backup-link').hidden = true;
    this.setButtons();
    var self = this;
    var timer = setInterval(function () { self.watchBusy(); }, 100);
    var status = await Module.ccall('ZelvarWebRun', 'number', ['number', 'string', 'number'],
                                    [ACTIONS[name], path, Number($('baud').value)],
                                    {async: true});
    clearInterval(timer);
    this.running = false;
    this.watchBusy();
    this.setButtons();
    $('status').textContent = 'Finished with status ' + status + '.';
    $('status').dataset.status = String(status);
    this.showTrace();
    if (name === 'backup' && status === 0) {
      $('backup-link').href = this.blobUrl(FS.readFile('/tmp/zelvar-backup.s'), 'text/plain');
      $('backup-link').hidden = false;
    }
    this.showOutcome(status);
    return status;
  },

  showTrace: function () {
    var text = '';
    try { text = FS.readFile('/tmp/zelvar-trace.txt', {encoding: 'utf8'}); } catch (e) {}
    $('trace').textContent = text;
    $('save-trace').href = this.blobUrl(text, 'text/plain');
  },

  stop: function () {
    var answer = Module._ZelvarWebStop();
    if (answer === 0) $('status').textContent = 'Stopping\u2026';
    else if (answer === 1) {
      $('status').textContent = "The receiver's flash is being updated; stopping now would " +
                                'leave it unusable. The update goes on.';
    }
  },

  // For tests and the curious: the simulated receiver's whole flash.
  simFlash: function () {
    var length = Module._ZelvarWebSimFlash();
    return length < 0 ? null : FS.readFile('/tmp/zelvar-sim-flash.bin');
  },
};

var Module = {
  onRuntimeInitialized: function () {
    ZelvarPage.ready = true;
    if (/^\?sim(&|=|$)/.test(location.search) || location.search.indexOf('&sim') >= 0) {
      $('target-sim').checked = true;
      ZelvarPage.connect();
    }
    ZelvarPage.setButtons();
  },
};

window.addEventListener('beforeunload', function (event) {
  if (ZelvarPage.running && Module._ZelvarWebFlashBusy && Module._ZelvarWebFlashBusy() === 1) {
    event.preventDefault();
    event.returnValue = '';
  }
});

document.addEventListener('DOMContentLoaded', function () {
  if (!('serial' in navigator)) $('no-serial').hidden = false;
  $('connect').addEventListener('click', function () { ZelvarPage.connect(); });
  Object.keys(ACTIONS).forEach(function (name) {
    $(name).addEventListener('click', function () { ZelvarPage.run(name); });
  });
  $('file').addEventListener('change', function () { ZelvarPage.setButtons(); });
  $('stop').addEventListener('click', function () { ZelvarPage.stop(); });
  ZelvarPage.setButtons();
});
