"""findMinimum through ctypes beside numpy.min on the same 16 Mi doubles.

usage: /usr/bin/python3 numpy_min.py path/to/libffiref.so

Prints both throughputs and their ratio. The array holds no NaN: numpy.min
returns a NaN as soon as there is one, where findMinimum skips it.
"""
import ctypes
import sys
import timeit

import numpy

COUNT = 16 << 20


def main():
    library = ctypes.CDLL(sys.argv[1])
    find_minimum = library.findMinimum
    find_minimum.restype = ctypes.c_double
    find_minimum.argtypes = [ctypes.POINTER(ctypes.c_double), ctypes.c_int32]

    rng = numpy.random.default_rng(20261211)
    values = rng.uniform(-1.0e6, 1.0e6, COUNT)
    pointer = values.ctypes.data_as(ctypes.POINTER(ctypes.c_double))

    ours = find_minimum(pointer, COUNT)
    theirs = float(numpy.min(values))
    if ours != theirs:
        print(f"results differ: findMinimum {ours!r}, numpy.min {theirs!r}")
        return 1

    repeats, number = 7, 5
    library_time = min(timeit.repeat(lambda: find_minimum(pointer, COUNT),
                                     repeat=repeats, number=number)) / number
    numpy_time = min(timeit.repeat(lambda: numpy.min(values),
                                   repeat=repeats, number=number)) / number
    gigabytes = values.nbytes / 1e9
    print(f"findMinimum via ctypes: {library_time * 1e3:8.2f} ms  "
          f"{gigabytes / library_time:6.1f} GB/s")
    print(f"numpy.min {numpy.__version__:>12}: {numpy_time * 1e3:8.2f} ms  "
          f"{gigabytes / numpy_time:6.1f} GB/s")
    print(f"findMinimum throughput / numpy.min throughput: "
          f"{numpy_time / library_time:.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
