"""What an integrator might write instead of the driver: the "E" query with
pyserial. Usage: pyserial_query.py DEVICE [BLOCKS [COUNT]]; prints the median
over BLOCKS of the mean round trip of COUNT queries, in microseconds."""
import statistics
import sys
import time

import serial

REQUEST = b"\x02E5862\x001A\x03"


def main():
    device = sys.argv[1]
    blocks = int(sys.argv[2]) if len(sys.argv) > 2 else 20
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 500
    line = serial.Serial(device, 115200, timeout=1)
    line.reset_input_buffer()
    means = []
    for _ in range(blocks):
        start = time.perf_counter()
        for _ in range(count):
            line.write(REQUEST)
            answer = line.read_until(b"\x03")
            if not answer.endswith(b"\x03"):
                sys.exit("pyserial_query: no answer")
        means.append((time.perf_counter() - start) / count * 1e6)
    print(f"{statistics.median(means):.2f}")


main()
