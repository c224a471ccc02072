#!/usr/bin/env python3
"""The Win32 serial back end's line settings, seen from the device's side.

Puts a pseudo-terminal into settings unlike the link's (9600 baud, 7 data bits,
even parity, two stop bits, hardware and software flow control), shows it to
Wine as COM9, and runs zelvar-serial-probe.exe, which opens the port at 38400,
moves it to 115200 and closes it. After each step the terminal's settings must
be the link's (8-N-1, no flow control, the rate asked for), and after the close
exactly what they were before. Prints PASS / FAIL lines.

    serial_settings.py PROBE_EXE
"""
import os
import pty
import subprocess
import sys
import termios

IFLAG, OFLAG, CFLAG, LFLAG, ISPEED, OSPEED, CC = range(7)


def main():
    probe = sys.argv[1]
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

    def check(name, ok):
        nonlocal failures
        print(('PASS ' if ok else 'FAIL ') + name)
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

    env = dict(os.environ, WINEDEBUG='-all')
    proc = subprocess.Popen(['wine', probe, 'COM9'], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True, env=env)
    try:
        line = proc.stdout.readline().strip()
        check(f'serial open at 38400 (got "{line}")', line == 'open')
        if line == 'open':
            link_settings('after open', 38400)
            proc.stdin.write('\n')
            proc.stdin.flush()
            line = proc.stdout.readline().strip()
            check(f'serial rate change (got "{line}")', line == 'baud')
            link_settings('after the rate change', 115200)
            proc.stdin.write('\n')
            proc.stdin.flush()
            line = proc.stdout.readline().strip()
            check(f'serial close (got "{line}")', line == 'closed')
            after = termios.tcgetattr(slave)
            # What a DCB carries; Wine keeps the terminal raw, which no DCB
            # field describes.
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
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
