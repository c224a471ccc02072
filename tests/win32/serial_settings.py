#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The Win32 serial back end's line settings, seen from the device's side.

Puts a pseudo-terminal into settings unlike the link's (9600 baud, 7 data bits,
even parity, two stop bits, hardware and software flow control), shows it to
Wine as COM9, and runs zelvar-serial-probe.exe, which opens the port at 38400,
moves it to 115200 and closes it. After each step the terminal's settings must
be the link's (8-N-1, no flow control, the rate asked for), and after the close
exactly what they were before. Prints PASS / FAIL lines.

A second run first has the probe leave the port as a careless last user could
(parity checking, NUL stripping, an error character, abort on error, a 1 ms
write time-out) before the back end opens it: the link must then still check
no parity, pass every byte of a binary frame both ways, 0x00 included, and
put the careless settings back at close.

    serial_settings.py PROBE_EXE
"""
import os
import pty
import select
import subprocess
import sys
import termios
import time

IFLAG, OFLAG, CFLAG, LFLAG, ISPEED, OSPEED, CC = range(7)


def main():
    failures = run(sys.argv[1], hostile=False) + run(sys.argv[1], hostile=True)
    return 1 if failures else 0


def read_master(master, count, seconds=5):
    data = b''
    deadline = time.time() + seconds
    while len(data) < count and time.time() < deadline:
        ready, _, _ = select.select([master], [], [], 0.2)
        if ready:
            data += os.read(master, 65536)
    return data


def run(probe, hostile):
    prefix = os.environ['WINEPREFIX']
    master, slave = pty.openpty()
    before = termios.tcgetattr(slave)
    before[CFLAG] = (before[CFLAG] & ~termios.CSIZE) | termios.CS7 | termios.PARENB | \
        termios.CSTOPB | termios.CRTSCTS
    before[IFLAG] |= termios.IXON | termios.IXOFF
    before[ISPEED] = before[OSPEED] = termios.B9600
    termios.tcsetattr(slave, termios.TCSANOW, before)
    before = termios.tcgetattr(slave)

    link = os.path.join(prefix, 'dosdevices', 'com9')
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(os.ttyname(slave), link)

    failures = 0

    tag = ' (after a careless user)' if hostile else ''

    def check(name, ok):
        nonlocal failures
        print(('PASS ' if ok else 'FAIL ') + name + tag)
        failures += 0 if ok else 1

    def link_settings(step, speed):
        now = termios.tcgetattr(slave)
        check(f'serial {step}: {speed} baud',
              now[ISPEED] == now[OSPEED] == getattr(termios, f'B{speed}'))
        check(f'serial {step}: 8 data bits, no parity, one stop bit',
              now[CFLAG] & termios.CSIZE == termios.CS8 and
              not now[CFLAG] & (termios.PARENB | termios.CSTOPB))
        check(f'serial {step}: no hardware or software flow control',
              not now[CFLAG] & termios.CRTSCTS and
              not now[IFLAG] & (termios.IXON | termios.IXOFF))
        check(f'serial {step}: no parity checking or marking on input',
              not now[IFLAG] & (termios.INPCK | termios.PARMRK | termios.ISTRIP))

    env = dict(os.environ, WINEDEBUG='-all')
    proc = subprocess.Popen(['wine', probe, 'COM9'] + (['--hostile'] if hostile else []),
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)

    def go_on():
        proc.stdin.write('\n')
        proc.stdin.flush()
        return proc.stdout.readline().strip()

    try:
        if hostile:
            line = proc.stdout.readline().strip()
            check(f'serial careless settings made (got "{line}")', line == 'hostile')
            # Else the run below could not tell the back end's settings from
            # the terminal's own.
            before = termios.tcgetattr(slave)
            check('serial careless settings reach the terminal (parity checking on)',
                  bool(before[IFLAG] & termios.INPCK))
            proc.stdin.write('\n')
            proc.stdin.flush()
        line = proc.stdout.readline().strip()
        check(f'serial open at 38400 (got "{line}")', line == 'open')
        if line == 'open':
            link_settings('after open', 38400)
            if hostile:
                frame = bytes([0x00, 0x05, 0x00, 0xFF, 0x7F, 0x80, 0x00, 0x7D])
                os.write(master, frame)
                line = go_on()
                check(f'serial reads every byte, 0x00 included (got "{line}")',
                      line == 'read ' + frame.hex())
                line = proc.stdout.readline().strip()
                sent = read_master(master, 4096)
                check(f'serial writes a 4096-byte block whole (got "{line}", '
                      f'{len(sent)} bytes arrived)',
                      line == 'wrote 4096' and sent == bytes([0x55]) * 4096)
            line = go_on()
            check(f'serial rate change (got "{line}")', line == 'baud')
            link_settings('after the rate change', 115200)
            proc.stdin.write('\n')
            proc.stdin.flush()
            line = proc.stdout.readline().strip()
            check(f'serial close (got "{line}")', line == 'closed')
            after = termios.tcgetattr(slave)
            # What a DCB carries; Wine keeps the terminal raw, which no DCB
            # field describes, and does not read parity checking back into
            # the DCB, so that is not compared either.
            fields = {
                'speed': lambda t: (t[ISPEED], t[OSPEED]),
                'data bits, parity, stop bits': lambda t: t[CFLAG] & (
                    termios.CSIZE | termios.PARENB | termios.PARODD | termios.CSTOPB),
                'hardware flow control': lambda t: t[CFLAG] & termios.CRTSCTS,
                'software flow control': lambda t: t[IFLAG] & (termios.IXON | termios.IXOFF),
            }
            differ = ', '.join(f'{n} {f(before)} -> {f(after)}' for n, f in fields.items()
                               if f(before) != f(after))
            check(f'serial after close: the settings from before the open {differ}'.rstrip(),
                  not differ)
        proc.stdin.close()
        proc.wait(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
        # Wine's server holds the terminal until it exits.
        subprocess.run(['wineserver', '-w'], env=env)
        os.remove(link)
        os.close(slave)
        os.close(master)
    return failures


if __name__ == '__main__':
    sys.exit(main())
