#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Serves the built page as a static server in front of it would: a file's
precompressed NAME.gz (made by the build) with Content-Encoding: gzip to a
browser that accepts gzip, the file itself otherwise.
    serve.py PORT DIRECTORY"""
import http.server
import os
import sys


class Handler(http.server.SimpleHTTPRequestHandler):
    extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map,
                      '.wasm': 'application/wasm', '.webmanifest': 'application/manifest+json',
                      '.js': 'text/javascript', '.svg': 'image/svg+xml'}

    def send_head(self):
        path = self.translate_path(self.path)
        if os.path.isdir(path):
            path = os.path.join(path, 'index.html')
        accepts = 'gzip' in self.headers.get('Accept-Encoding', '')
        if not accepts or not os.path.isfile(path + '.gz'):
            return super().send_head()
        try:
            body = open(path + '.gz', 'rb')
        except OSError:
            return super().send_head()
        self.send_response(200)
        self.send_header('Content-Type', self.guess_type(path))
        self.send_header('Content-Encoding', 'gzip')
        self.send_header('Content-Length', str(os.fstat(body.fileno()).st_size))
        self.send_header('Vary', 'Accept-Encoding')
        self.end_headers()
        return body

    def log_message(self, *args):
        pass


if __name__ == '__main__':
    port, directory = int(sys.argv[1]), sys.argv[2]
    handler = lambda *a, **k: Handler(*a, directory=directory, **k)
    http.server.ThreadingHTTPServer(('127.0.0.1', port), handler).serve_forever()
