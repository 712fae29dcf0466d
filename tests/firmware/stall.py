#!/usr/bin/env python3
"""A host that stalls in the middle of a TAP shift, then sends bytes that a
decoder out of step would read as commands (VPP's 0x21 and its key, a shift's
0x05): the Nano in probe mode must answer none of them.
usage: stall.py LINK SECONDS"""
import os
import select
import sys
import termios
import time

link, stall = sys.argv[1], float(sys.argv[2])
fd = os.open(link, os.O_RDWR | os.O_NOCTTY)
attrs = termios.tcgetattr(fd)
attrs[0] = attrs[1] = attrs[3] = 0  # raw: no input, output or local processing
attrs[2] = termios.CS8 | termios.CREAD | termios.CLOCAL
termios.tcsetattr(fd, termios.TCSANOW, attrs)


def read(n, timeout):
    got = b''
    end = time.monotonic() + timeout
    while len(got) < n:
        left = end - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        got += os.read(fd, n - len(got))
    return got


def expect(data, answer, what):
    os.write(fd, data)
    got = read(len(answer), 3)
    if got != answer:
        sys.exit(f'{what}: {got!r}, not {answer!r}')


os.write(fd, bytes(20))
got = read(5, 3)
if got != b'BBIO1':
    sys.exit(f'probe mode: {got!r}')
expect(b'\x06', b'OCD1', 'JTAG mode')
os.write(fd, b'\x01\x01')                      # the pins driven
os.write(fd, b'\x05\x00\x20\x00\x01')          # a 32-bit shift: its header and the first pair
got = read(4, 3)
if len(got) != 4 or got[:3] != b'\x05\x00\x20':
    sys.exit(f'the first pair: {got!r}')
time.sleep(stall)                              # the host stalls in the middle of the shift
os.write(fd, b'\x21\x56\x50\x05\x00\x08\x55\x55\x20\x21\x56\x50')
late = read(1, 3)
if late:
    sys.exit(f'answered after the stall: {late!r}')
print('no answer after the stall')
