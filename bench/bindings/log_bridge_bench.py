"""Cost of the log bridge per record, printed as a table.

Run with both extensions importable, for example:
    PYTHONPATH=build/<dir>/python_testmod python3 bench/bindings/log_bridge_bench.py

Cases (each from a native thread, the way the control loop logs):
  disabled       the logger's level is cached as disabled: the record is dropped without
                 the interpreter lock
  disabled+busy  the same while a Python thread keeps the interpreter lock busy
  forwarded      an enabled record that goes through makeRecord/handle to a NullHandler
  forwarded+busy the same while a Python thread keeps the interpreter lock busy
"""

import logging
import threading
import time

import velmora_testmod as t

WARN, DEBUG = 2, 4


def per_record(target, level, count):
    start = time.perf_counter()
    t.log_from_thread(level, target, "bench record", count)
    return (time.perf_counter() - start) / count


def busy(stop):
    n = 0
    while not stop.is_set():
        n += 1


def run(name, target, level, count, with_busy):
    stop = threading.Event()
    spinner = threading.Thread(target=busy, args=(stop,)) if with_busy else None
    if spinner:
        spinner.start()
    try:
        seconds = per_record(target, level, count)
    finally:
        stop.set()
        if spinner:
            spinner.join()
    print(f"{name:<16}{count:>10}{seconds * 1e9:>14.0f}")


def main():
    logger = logging.getLogger("velmora_bench.bridge")
    logger.addHandler(logging.NullHandler())
    logger.propagate = False
    logger.setLevel(logging.INFO)
    target = "velmora_bench::bridge"
    t.log(DEBUG, target, "prime the cache: debug disabled")
    t.log(WARN, target, "prime the cache: warning enabled")
    print(f"{'case':<16}{'records':>10}{'ns/record':>14}")
    run("disabled", target, DEBUG, 1_000_000, False)
    run("disabled+busy", target, DEBUG, 1_000_000, True)
    run("forwarded", target, WARN, 20_000, False)
    run("forwarded+busy", target, WARN, 2_000, True)


if __name__ == "__main__":
    main()
