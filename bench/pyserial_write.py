#!/usr/bin/python3
"""The write job as a user would script it with pyserial, for comparison:
the bytes `quorvane-cli frames --raw` prints, sent frame by frame, each
followed by a wait for the device's ACK.

    pyserial_write.py RAW_FRAMES PORT BAUD

Prints the job's time in seconds (first byte written to last byte written).
"""
import sys
import termios
import time

import serial

START = bytes.fromhex("1B1D3F30310A00")
END = bytes.fromhex("1B1D3F31300A00")
ACK = b"\x06"


def split_frames(raw):
    # 02 LEN ADDR(4) DATA(LEN) 03 CRC(2) between the two control sequences
    assert raw.startswith(START) and raw.endswith(END)
    body, frames, i = raw[len(START):-len(END)], [], 0
    while i < len(body):
        size = 1 + 1 + 4 + body[i + 1] + 1 + 2
        frames.append(body[i:i + size])
        i += size
    return frames


def main(raw_path, port, baud):
    with open(raw_path, "rb") as f:
        frames = split_frames(f.read())
    with serial.Serial(port, int(baud), timeout=30) as line:
        started = time.monotonic()
        line.write(START)
        for number, frame in enumerate(frames, 1):
            line.write(frame)
            if line.read(1) != ACK:
                sys.exit("no ACK after frame %d" % number)
        line.write(END)
        try:
            line.flush()
        except termios.error:
            pass  # a device that ends on the end sequence (--once) may go before the drain returns
        print("%.3f" % (time.monotonic() - started))


if __name__ == "__main__":
    main(*sys.argv[1:])
