// SPDX-License-Identifier: Apache-2.0
// The page around the WebAssembly core: loading the module, the guided steps,
// the readouts of a run, the outcome dialog and the trace. The core calls
// back into ZelvarPage; a run is awaited as a promise (Asyncify). What a run
// came to (its outcome, cause, remedy, status) is the core's report: the page
// shows it and decides nothing of it.
'use strict';

var ACTIONS = {update: 1, identify: 2, verify: 3, backup: 4, 'flash-file': 5};
var LABELS = {update: 'Update', identify: 'Identify', verify: 'Verify', backup: 'Back up',
  'flash-file': 'Flash the file'};
var UPLOAD_PATH = '/tmp/zelvar-upload.s';
// A run under way is written down here when it starts and struck out when it
// ends: found on the next visit, the page was left in the middle of one.
var RUN_KEY = 'zelvar.run-under-way';
// The core's phases (UpdatePhase).
var PHASE_LINK = 2;
var PHASE_FLASH = 3;
var $ = function (id) { return document.getElementById(id); };
var number = function (n) { return Number(n).toLocaleString('en-US'); };
var hex16 = function (n) { return '0x' + Number(n).toString(16).toUpperCase().padStart(4, '0'); };

var ZelvarPage = {
  ready: false,
  target: null,       // 'serial' or 'sim' once connected
  portLabel: '',
  running: null,      // the action's name while one runs
  messages: [],
  lines: [],
  urls: [],
  firmware: null,
  report: null,       // the core's report of the last run, when it gives one
  details: null,      // what the dialog shows of the last run
  live: null,         // rate and time left of the run going on
  returnTo: null,

  // Called by the core.
  message: function (text, caption, cause) {
    this.messages.push({text: text, caption: caption, cause: cause});
    if (!this.running) this.showOutcome(null);
  },
  progress: function (percent) {
    $('progress').setAttribute('value', String(percent));
    $('percent').textContent = percent + '%';
    if (this.running) this.watch();
  },
  line: function (text) {
    this.lines.push(text);
  },
  // The run's report, as the terminal program's --json prints it.
  setReport: function (json) {
    try { this.report = typeof json === 'string' ? JSON.parse(json) : json; } catch (e) {}
  },

  // A call for JSON, made directly: a ccall while a run is suspended would
  // take over the promise that the run's own ccall awaits.
  call: function (name) {
    if (!Module['_' + name]) return null;
    try { return JSON.parse(Module.UTF8ToString(Module['_' + name]())); } catch (e) { return null; }
  },

  blobUrl: function (bytes, type) {
    var url = URL.createObjectURL(new Blob([bytes], {type: type}));
    this.urls.push(url);
    return url;
  },

  // The dialog: the report's own words; without a report (a refusal before
  // any run) the last message as the core gave it.
  showOutcome: function (status) {
    var r = this.report || {};
    var last = this.messages.length ? this.messages[this.messages.length - 1]
                                    : {text: '', caption: '', cause: ''};
    var caption = r.headline || last.caption || 'Zelvar';
    var text = r.message || last.text;
    $('outcome-caption').textContent = caption;
    $('outcome-text').textContent = text;
    $('outcome-cause').textContent = r.cause || last.cause || '';
    $('outcome-remedy').textContent = r.remedy || '';
    this.showFacts(status === null ? null : this.details);
    var earlier = this.messages.slice(0, -1).map(function (m) { return m.text; });
    $('outcome-lines').textContent = earlier.concat(this.lines).join('\n');
    var dialog = $('outcome');
    if (status !== null) dialog.dataset.status = String(status);
    $('announce').textContent = [caption, text, r.remedy || ''].join('. ').replace(/\.\s*\.?\s*$/, '.');
    if (!dialog.open) dialog.showModal();
    $('outcome-ok').focus();
  },

  showFacts: function (d) {
    var list = $('outcome-facts');
    list.textContent = '';
    if (!d) return;
    var add = function (term, value) {
      if (value === undefined || value === null || value === '') return;
      var dt = document.createElement('dt');
      var dd = document.createElement('dd');
      dt.textContent = term;
      dd.textContent = value;
      list.append(dt, dd);
    };
    add('Outcome', d.outcome);
    add('Status', d.exit_status);
    if (typeof d.flash_changed === 'boolean') add('Flash changed', d.flash_changed ? 'yes' : 'no');
    add('Failed step', d.failed_step);
    if (d.part) add('Flash part', d.part + (d.maker ? ', maker ' + d.maker : ''));
    if (d.flash_size) add('Flash size', number(d.flash_size) + ' bytes');
    if (d.image_length) {
      add('Image', number(d.image_length) + ' bytes' +
          (d.image_crc !== undefined && d.image_crc !== null ? ', CRC-16 ' + hex16(d.image_crc) : ''));
    }
    if (d.receiver_crc !== undefined && d.receiver_crc !== null) {
      add("Receiver's CRC-16", hex16(d.receiver_crc));
    }
    if (d.bytes_written) add('Bytes written', number(d.bytes_written));
    var s = d.seconds || {};
    var times = ['boot', 'erase', 'write', 'verify'].filter(function (k) { return s[k] > 0; })
      .map(function (k) { return k + ' ' + Number(s[k]).toFixed(1) + ' s'; });
    if (times.length) add('Times', times.join(', '));
    add('Retries', d.retries);
  },

  setButtons: function () {
    var idle = this.ready && this.target !== null && !this.running;
    ['update', 'identify', 'verify', 'backup'].forEach(function (id) { $(id).disabled = !idle; });
    $('flash-file').disabled = !idle || $('file').files.length === 0;
    $('connect').disabled = !!this.running || !this.ready;
    $('connect').textContent = $('target-sim').checked ? 'Connect the simulated receiver'
                                                       : 'Choose the port';
    $('stop').disabled = !this.running;
    document.body.dataset.state = this.running ? 'running'
        : (idle ? 'idle' : (this.ready ? 'waiting' : 'loading'));
  },

  showFirmware: function () {
    var f = this.call('ZelvarWebFirmware');
    if (!f || !f.length) return;
    this.firmware = f;
    $('update').textContent = (f.version ? 'Update to version ' + f.version
                                         : 'Update to firmware ' + hex16(f.crc)) +
        ' (' + number(f.length) + ' bytes)';
  },

  // During a run: the phase, the bytes, the rate and the time left, from the
  // facts the core has gathered so far. While the flash is erased or written
  // Stop is off and leaving the page asks first; the core says when that is.
  watch: function () {
    if (!this.running) return;
    var busy = Module._ZelvarWebFlashBusy() === 1;
    $('stop').disabled = busy;
    var reason = busy ? "The receiver's flash is being updated: stopping or leaving now " +
                        'would leave it unusable.' : '';
    if ($('busy-reason').textContent !== reason) $('busy-reason').textContent = reason;
    document.body.dataset.flashBusy = busy ? '1' : '0';
    var f = this.call('ZelvarWebFacts');
    if (!f) return;
    var percent = Number($('progress').getAttribute('value'));
    var phase = 'Starting';
    var done = 0;
    var total = 0;
    var verb = '';
    if (this.running === 'backup') {
      phase = percent > 0 ? 'Reading the flash' : 'Reaching the receiver';
      total = f.flash_size;
      done = Math.round(total * percent / 100);
      verb = 'read';
    } else if (f.phase === PHASE_FLASH || f.bytes_written > 0) {
      total = f.image_length;
      done = f.bytes_written;
      verb = 'written';
      phase = done === 0 ? 'Erasing the flash' : done < total ? 'Writing the firmware'
                                                            : "Checking the receiver's CRC-16";
    } else if (f.phase >= PHASE_LINK) {
      phase = 'Reaching the receiver (boot stage and flash agent)';
    }
    phase += '\u2026';
    if ($('phase').textContent !== phase) $('phase').textContent = phase;
    var amounts = '';
    if (total > 0 && done > 0) {
      var now = performance.now();
      if (!this.live || this.live.verb !== verb) this.live = {verb: verb, t: now, bytes: done};
      amounts = number(done) + ' of ' + number(total) + ' bytes ' + verb;
      var seconds = (now - this.live.t) / 1000;
      if (seconds > 0.2 && done > this.live.bytes) {
        var rate = (done - this.live.bytes) / seconds;
        amounts += ', ' + (rate / 1024).toFixed(1) + ' KB/s';
        if (done < total) amounts += ', about ' + Math.ceil((total - done) / rate) + ' s left';
      }
    }
    $('amounts').textContent = amounts || '\u200b';
  },

  connect: async function () {
    $('connect-note').textContent = '';
    if ($('target-sim').checked) {
      if (Module.ccall('ZelvarWebUseSimulator', 'number', ['string'], [location.search]) !== 0) {
        this.target = null;
      } else {
        this.target = 'sim';
        this.portLabel = 'Simulated receiver';
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
      this.portLabel = label;
      $('port-label').textContent = label;
    } catch (error) {
      $('connect-note').textContent = 'No port was chosen (' + error.name + '). See "No port ' +
                                      'to choose?" below.';
    }
    this.setButtons();
  },

  // The boot-lines sequence for the core (e.g. "dtr&rts,-rts:-dtr&rts,-rts");
  // "" to put the receiver in its boot ROM by hand.
  bootLines: function () {
    return $('boot-lines').value.trim();
  },

  run: async function (name) {
    if (this.running) return;
    this.returnTo = document.activeElement && document.activeElement !== document.body
        ? document.activeElement : $(name);
    var path = '';
    if (name === 'flash-file' || (name === 'verify' && $('file').files.length > 0)) {
      var file = $('file').files[0];
      FS.writeFile(UPLOAD_PATH, new Uint8Array(await file.arrayBuffer()));
      path = UPLOAD_PATH;
    }
    // A sequence the core refuses has said why in a message; nothing runs.
    if (Module.ccall('ZelvarWebSetBootLines', 'number', ['string'], [this.bootLines()]) !== 0) {
      this.showOutcome(null);
      return 2;
    }
    this.messages = [];
    this.lines = [];
    this.report = null;
    this.live = null;
    this.running = name;
    this.remember(name);
    this.progress(0);
    $('phase').textContent = 'Starting\u2026';
    $('amounts').textContent = '\u200b';
    $('status').textContent = LABELS[name] + ' is running.';
    $('backup-link').hidden = true;
    this.setButtons();
    var self = this;
    var timer = setInterval(function () { self.watch(); }, 150);
    var status = await Module.ccall('ZelvarWebRun', 'number', ['number', 'string', 'number'],
                                    [ACTIONS[name], path, Number($('baud').value)],
                                    {async: true});
    clearInterval(timer);
    this.watch();
    this.running = null;
    this.forget();
    if (!this.report) this.report = this.call('ZelvarWebReport');
    this.details = Object.assign({exit_status: status}, this.call('ZelvarWebFacts'), this.report);
    $('busy-reason').textContent = '';
    document.body.dataset.flashBusy = '0';
    this.setButtons();
    var r = this.report || {};
    $('phase').textContent = LABELS[name] + ' ended: ' +
        (r.headline || (this.messages.length ? this.messages[this.messages.length - 1].text : ''));
    $('status').textContent = '';
    $('status').dataset.status = String(status);
    this.showTrace(name);
    if (name === 'backup' && status === 0) {
      $('backup-link').href = this.blobUrl(FS.readFile('/tmp/zelvar-backup.s'), 'text/plain');
      $('backup-link').hidden = false;
    }
    this.showOutcome(status);
    return status;
  },

  showTrace: function (name) {
    var text = '';
    try { text = FS.readFile('/tmp/zelvar-trace.txt', {encoding: 'utf8'}); } catch (e) {}
    $('trace').textContent = text;
    var r = this.details || {};
    var last = this.messages.length ? this.messages[this.messages.length - 1].text : '';
    this.traceText = [
      '# Zelvar ' + ((this.firmware && this.firmware.program_version) || '') + ' (the page)',
      '# Date: ' + new Date().toISOString(),
      '# Port: ' + this.portLabel,
      '# Run: ' + LABELS[name],
      '# Outcome: ' + [r.outcome, r.message || last].filter(Boolean).join(': ') +
        (r.exit_status !== undefined ? ' (status ' + r.exit_status + ')' : ''),
      '',
    ].join('\n') + text;
    $('save-trace').disabled = false;
  },

  saveTrace: function () {
    var link = document.createElement('a');
    link.href = this.blobUrl(this.traceText, 'text/plain');
    link.download = 'zelvar-trace.txt';
    document.body.append(link);
    link.click();
    link.remove();
  },

  stop: function () {
    var answer = Module._ZelvarWebStop();
    if (answer === 0) $('status').textContent = 'Stopping\u2026';
    else if (answer === 1) {
      $('status').textContent = "The receiver's flash is being updated; stopping now would " +
                                'leave it unusable. The update goes on.';
    }
  },

  remember: function (name) {
    try {
      localStorage.setItem(RUN_KEY, JSON.stringify({action: name, port: this.portLabel,
                                                    started: new Date().toISOString()}));
    } catch (e) {}
  },
  forget: function () {
    try { localStorage.removeItem(RUN_KEY); } catch (e) {}
  },
  // The last visit left in the middle of a run: the receiver may be running
  // the flash agent, or hold half an image.
  showCutOff: function () {
    var run = null;
    try { run = JSON.parse(localStorage.getItem(RUN_KEY)); } catch (e) {}
    if (!run || !LABELS[run.action]) return;
    var update = run.action === 'update' || run.action === 'flash-file';
    $('interrupted-title').textContent = update ? 'The last update was cut off'
        : 'The last run (' + LABELS[run.action] + ') was cut off';
    $('interrupted-text').textContent = 'It began ' + new Date(run.started).toLocaleString() +
        (run.port ? ' on ' + run.port : '') + ' and the page was left before it ended. ' +
        (update ? "The receiver's flash may be incomplete. " : '') +
        'Power-cycle the receiver in its boot ROM, then ' +
        (update ? 'update again.' : 'run it again.');
    $('interrupted').setAttribute('role', 'alert');
    $('interrupted').hidden = false;
  },

  // For tests and the curious: the simulated receiver's whole flash.
  simFlash: function () {
    var length = Module._ZelvarWebSimFlash();
    return length < 0 ? null : FS.readFile('/tmp/zelvar-sim-flash.bin');
  },
};

// Loading: the module's script, then its WebAssembly fetched here so that the
// page can show how far it is and offer to try again when it fails.
var Loader = {
  imports: null,
  receive: null,
  scriptFailed: false,

  start: function () {
    $('load-error').hidden = true;
    $('loading').hidden = false;
    if (this.receive) { this.fetchWasm(); return; }
    var old = document.querySelector('script[src="zelvar.js"]');
    if (old) old.remove();
    var script = document.createElement('script');
    script.src = 'zelvar.js';
    script.onerror = function () { Loader.fail("the updater's script (zelvar.js) could not be fetched"); };
    document.body.append(script);
  },

  fetchWasm: async function () {
    try {
      var response = await fetch('zelvar.wasm', {credentials: 'same-origin'});
      if (!response.ok) throw new Error('zelvar.wasm: ' + response.status + ' ' + response.statusText);
      // A compressed answer's length is not the length of what is read.
      var total = response.headers.get('Content-Encoding') ? 0
                : Number(response.headers.get('Content-Length')) || 0;
      var reader = response.body.getReader();
      var parts = [];
      var got = 0;
      for (;;) {
        var step = await reader.read();
        if (step.done) break;
        parts.push(step.value);
        got += step.value.length;
        this.show(got, total);
      }
      var bytes = new Uint8Array(got);
      var at = 0;
      parts.forEach(function (p) { bytes.set(p, at); at += p.length; });
      var result = await WebAssembly.instantiate(bytes, this.imports);
      this.receive(result.instance, result.module);
    } catch (error) {
      this.fail('the updater (zelvar.wasm) could not be loaded: ' + (error.message || error));
    }
  },

  show: function (got, total) {
    var bar = $('load-progress');
    if (total > 0) {
      bar.value = Math.min(100, Math.floor(got * 100 / total));
      $('load-amount').textContent = number(Math.round(got / 1024)) + ' of ' +
                                     number(Math.round(total / 1024)) + ' KB';
    } else {
      $('load-amount').textContent = number(Math.round(got / 1024)) + ' KB';
    }
  },

  fail: function (why) {
    $('loading').hidden = true;
    $('load-error-text').textContent = 'The page cannot work yet: ' + why + '. Check the ' +
        'connection, then try again.';
    $('load-error').hidden = false;
    document.body.dataset.state = 'load-failed';
  },
};

var Module = {
  instantiateWasm: function (imports, receive) {
    Loader.imports = imports;
    Loader.receive = receive;
    Loader.fetchWasm();
    return {};
  },
  onRuntimeInitialized: function () {
    $('loading').hidden = true;
    ZelvarPage.ready = true;
    ZelvarPage.showFirmware();
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

function noticeWithoutSerial() {
  if ('serial' in navigator) return;
  $('no-serial').textContent = window.isSecureContext
      ? 'This browser has no Web Serial, so it cannot reach a serial port. Web Serial is in the ' +
        'Chromium-based desktop browsers: Chrome, Edge and Opera. The simulated receiver works ' +
        'here all the same.'
      : 'This page was opened over plain http at ' + location.host + ', which is not a secure ' +
        'context, so the browser keeps its serial ports from it. Open it over https, or at ' +
        'localhost or 127.0.0.1 on this computer. The simulated receiver works here all the same.';
  $('no-serial').hidden = false;
}

document.addEventListener('DOMContentLoaded', function () {
  noticeWithoutSerial();
  ZelvarPage.showCutOff();
  $('connect').addEventListener('click', function () { ZelvarPage.connect(); });
  document.querySelectorAll('input[name="target"]').forEach(function (radio) {
    radio.addEventListener('change', function () {
      $('connect-note').textContent = '';
      ZelvarPage.setButtons();
    });
  });
  Object.keys(ACTIONS).forEach(function (name) {
    $(name).addEventListener('click', function () { ZelvarPage.run(name); });
  });
  $('file').addEventListener('change', function () { ZelvarPage.setButtons(); });
  $('stop').addEventListener('click', function () { ZelvarPage.stop(); });
  $('save-trace').addEventListener('click', function () { ZelvarPage.saveTrace(); });
  $('load-retry').addEventListener('click', function () { Loader.start(); });
  $('interrupted-dismiss').addEventListener('click', function () {
    ZelvarPage.forget();
    $('interrupted').hidden = true;
  });
  $('outcome').addEventListener('close', function () {
    var back = ZelvarPage.returnTo;
    ZelvarPage.returnTo = null;
    if (back && document.contains(back) && !back.disabled) back.focus();
  });
  ZelvarPage.setButtons();
  Loader.start();
  if ('serviceWorker' in navigator && window.isSecureContext) {
    navigator.serviceWorker.register('sw.js').catch(function () {});
  }
});
