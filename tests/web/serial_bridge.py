#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
# Test-only stand-in for the browser's serial port: a WebSocket server that the
# page's fake navigator.serial (bridge_port.js) talks to, passing bytes to and
# from a pseudo-terminal (zelvar-receiver --link PATH) and the line rate on to
# the terminal's settings, where the receiver reads it.
#   serial_bridge.py PATH      prints the port it listens on, then serves
# Text frames are {"op": "open"|"close", "baud": N}; binary frames are bytes.
import base64
import hashlib
import json
import os
import select
import socket
import struct
import sys
import termios
import threading
import tty

GUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
RATES = {b: getattr(termios, "B%d" % b) for b in
         (9600, 19200, 38400, 57600, 115200, 230400, 460800, 500000, 576000, 921600)}


def recv_exact(conn, n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def read_frame(conn):
    b0, b1 = recv_exact(conn, 2)
    opcode, length = b0 & 0x0F, b1 & 0x7F
    if length == 126:
        length = struct.unpack(">H", recv_exact(conn, 2))[0]
    elif length == 127:
        length = struct.unpack(">Q", recv_exact(conn, 8))[0]
    mask = recv_exact(conn, 4) if b1 & 0x80 else b"\0\0\0\0"
    payload = recv_exact(conn, length)
    # Unmasked as one big integer: a loop over the bytes in Python costs a
    # millisecond or so per written block, which the timing would count.
    if length and mask != b"\0\0\0\0":
        key = (mask * (length // 4 + 1))[:length]
        payload = (int.from_bytes(payload, "big") ^ int.from_bytes(key, "big")).to_bytes(length, "big")
    return opcode, payload


def send_frame(conn, lock, opcode, payload):
    n = len(payload)
    if n < 126:
        header = struct.pack(">BB", 0x80 | opcode, n)
    elif n < 65536:
        header = struct.pack(">BBH", 0x80 | opcode, 126, n)
    else:
        header = struct.pack(">BBQ", 0x80 | opcode, 127, n)
    with lock:
        conn.sendall(header + payload)


def set_rate(fd, baud):
    attrs = termios.tcgetattr(fd)
    attrs[4] = attrs[5] = RATES[baud]
    termios.tcdrain(fd)
    termios.tcsetattr(fd, termios.TCSANOW, attrs)


def serve(conn, path):
    request = b""
    while b"\r\n\r\n" not in request:
        request += conn.recv(4096)
    key = [l.split(b":", 1)[1].strip() for l in request.split(b"\r\n")
           if l.lower().startswith(b"sec-websocket-key:")][0]
    accept = base64.b64encode(hashlib.sha1(key + GUID.encode()).digest())
    conn.sendall(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                 b"Connection: Upgrade\r\nSec-WebSocket-Accept: " + accept + b"\r\n\r\n")
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    lock = threading.Lock()
    fd = None
    stop = threading.Event()

    def pump(line):
        while not stop.is_set():
            ready, _, _ = select.select([line], [], [], 0.2)
            if not ready:
                continue
            try:
                data = os.read(line, 4096)
            except OSError:
                return
            if data:
                send_frame(conn, lock, 2, data)

    try:
        while True:
            opcode, payload = read_frame(conn)
            if opcode == 8:
                break
            if opcode == 1:
                message = json.loads(payload)
                if message["op"] == "open":
                    if fd is None:
                        # The line stays open across the page's close and
                        # reopen for a rate change, as a UART keeps its bytes.
                        fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
                        tty.setraw(fd)
                        set_rate(fd, message["baud"])
                        termios.tcflush(fd, termios.TCIOFLUSH)
                        threading.Thread(target=pump, args=(fd,), daemon=True).start()
                    else:
                        set_rate(fd, message["baud"])
                elif message["op"] == "close" and fd is not None:
                    termios.tcdrain(fd)
            elif opcode == 2 and fd is not None:
                view = memoryview(payload)
                while view:
                    view = view[os.write(fd, view):]
    except (EOFError, OSError, termios.error):
        # The page went, or the receiver did (a --once receiver ends after
        # Disconnect, and the pty with it).
        pass
    finally:
        stop.set()
        if fd is not None:
            os.close(fd)
        conn.close()


def main():
    path = sys.argv[1]
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", 0))
    server.listen(1)
    print(server.getsockname()[1], flush=True)
    while True:
        conn, _ = server.accept()
        serve(conn, path)


if __name__ == "__main__":
    main()
