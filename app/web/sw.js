// SPDX-License-Identifier: Apache-2.0
// Keeps the page's own files, so that it opens without a network after one
// visit. The network is asked first (a new build is taken as soon as it is
// there) and the kept copy answers when it cannot be reached.
'use strict';

var CACHE = 'zelvar-page';
var FILES = ['./', 'index.html', 'style.css', 'page.js', 'zelvar.js', 'zelvar.wasm',
  'manifest.webmanifest', 'favicon.svg', 'icon-192.png', 'icon-512.png'];

self.addEventListener('install', function (event) {
  event.waitUntil(caches.open(CACHE).then(function (cache) { return cache.addAll(FILES); })
    .then(function () { return self.skipWaiting(); }));
});

self.addEventListener('activate', function (event) {
  event.waitUntil(self.clients.claim());
});

self.addEventListener('fetch', function (event) {
  var request = event.request;
  if (request.method !== 'GET' || new URL(request.url).origin !== self.location.origin) return;
  event.respondWith(fetch(request).then(function (response) {
    if (response.ok) {
      var copy = response.clone();
      caches.open(CACHE).then(function (cache) { cache.put(request, copy); });
    }
    return response;
  }).catch(function () {
    // The page's address carries the simulated receiver's settings: any
    // query is the same page.
    return caches.match(request, {ignoreSearch: true}).then(function (kept) {
      return kept || Response.error();
    });
  }));
});
