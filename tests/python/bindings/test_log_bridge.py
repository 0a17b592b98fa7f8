"""The log bridge into Python logging, through velmora_testmod (which installs its
own copy of the bridge). Every test logs under a target of its own, because the
bridge caches loggers and their level answers for the life of the process."""

import logging
import subprocess
import sys
import textwrap
import threading

import pytest

ERROR, WARN, INFO, DEBUG, TRACE = 1, 2, 3, 4, 5


class Capture(logging.Handler):
    def __init__(self):
        super().__init__(level=0)
        self.records = []

    def emit(self, record):
        self.records.append(record)


@pytest.fixture
def captured(log_target):
    """(target, logger, handler) with the logger open to every level."""
    target, name = log_target
    logger = logging.getLogger(name)
    handler = Capture()
    logger.addHandler(handler)
    logger.setLevel(1)
    logger.propagate = False
    yield target, logger, handler
    logger.removeHandler(handler)


def test_levels_names_and_record_fields(testmod, captured):
    target, logger, handler = captured
    for level in (ERROR, WARN, INFO, DEBUG, TRACE):
        testmod.log(level, target, f"message {level}")
    # Trace never reaches Python, even with the logger at level 1.
    assert [(r.levelno, r.getMessage()) for r in handler.records] == [
        (40, "message 1"), (30, "message 2"), (20, "message 3"), (10, "message 4")]
    record = handler.records[0]
    assert record.name == logger.name and "::" not in record.name
    assert record.args == () and record.exc_info is None
    assert record.pathname.endswith("testmod.cpp") and record.lineno > 0
    assert not testmod.log_enabled(TRACE, target)


def test_messages_are_passed_verbatim(testmod, captured):
    target, _, handler = captured
    texts = ["100% done %s %(x)d", "non-ASCII µ ✓", "line\nbreak", ""]
    for text in texts:
        testmod.log(WARN, target, text)
    assert [r.getMessage() for r in handler.records] == texts


def test_disabled_level_stays_disabled_and_is_dropped_without_the_lock(testmod, captured):
    target, logger, handler = captured
    logger.setLevel(logging.WARNING)
    testmod.log(INFO, target, "first info")      # answer cached: INFO disabled
    testmod.log(WARN, target, "first warning")   # answer cached: WARN enabled
    logger.setLevel(logging.DEBUG)
    before = testmod.bridge_counters()
    testmod.log(INFO, target, "second info")
    testmod.log_from_thread(INFO, target, "info from a native thread", 5)
    after = testmod.bridge_counters()
    assert [r.getMessage() for r in handler.records] == ["first warning"]
    assert after["dropped_cached"] - before["dropped_cached"] == 6
    assert after["lock_taken"] == before["lock_taken"]
    assert not testmod.log_enabled(INFO, target)
    # A level first used after the change is asked afresh.
    testmod.log(DEBUG, target, "debug")
    assert [r.getMessage() for r in handler.records] == ["first warning", "debug"]


def test_logger_object_and_answers_are_asked_once_per_name(testmod, captured):
    target, _, handler = captured
    before = testmod.bridge_counters()
    for _ in range(3):
        testmod.log(WARN, target, "w")
        testmod.log(ERROR, target, "e")
    after = testmod.bridge_counters()
    assert after["get_logger_calls"] - before["get_logger_calls"] == 1
    assert after["level_queries"] - before["level_queries"] == 2
    assert len(handler.records) == 6


def test_records_from_native_threads(testmod, captured):
    target, _, handler = captured
    testmod.log_from_thread(WARN, target, "from native", 50)
    assert [r.getMessage() for r in handler.records] == ["from native"] * 50
    assert {r.thread for r in handler.records} != {threading.get_ident()}


def test_concurrent_first_use_of_many_targets(testmod, log_target):
    """Python and native threads racing to add loggers to the cache: nothing lost."""
    base_target, base_name = log_target
    handler = Capture()
    names = [f"{base_name}.t{i}" for i in range(8)]
    for name in names:
        logging.getLogger(name).setLevel(1)
        logging.getLogger(name).addHandler(handler)
        logging.getLogger(name).propagate = False
    try:
        def worker(i):
            for j in range(8):
                testmod.log_from_thread(INFO, f"{base_target}::t{(i + j) % 8}", f"w{i}", 20)

        threads = [threading.Thread(target=worker, args=(i,)) for i in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=60)
        assert not any(t.is_alive() for t in threads)
        assert len(handler.records) == 4 * 8 * 20
        assert {r.name for r in handler.records} == set(names)
    finally:
        for name in names:
            logging.getLogger(name).removeHandler(handler)


def test_python_errors_in_logging_stay_inside_the_bridge(testmod, captured):
    target, logger, handler = captured

    def explode(record):
        raise RuntimeError("filter failed")

    logger.addFilter(explode)
    try:
        testmod.log(WARN, target, "lost")                 # must not raise
        testmod.log_from_thread(WARN, target, "lost", 3)  # nor leave an error behind
    finally:
        logger.removeFilter(explode)
    testmod.log(WARN, target, "kept")
    assert [r.getMessage() for r in handler.records] == ["kept"]


def test_logging_keeps_the_callers_pending_error(testmod, captured):
    target, logger, handler = captured
    with pytest.raises(ValueError, match="^pending$"):
        testmod.log_with_pending_error(target, "while failing")
    assert [r.getMessage() for r in handler.records] == ["while failing"]

    def explode(record):
        raise RuntimeError("filter failed")

    logger.addFilter(explode)  # the bridge's own failure must not replace the caller's error
    try:
        with pytest.raises(ValueError, match="^pending$"):
            testmod.log_with_pending_error(target, "lost")
    finally:
        logger.removeFilter(explode)


def run_child(code, env, timeout=30):
    return subprocess.run([sys.executable, "-S", "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=timeout)


def test_native_threads_logging_through_interpreter_exit(child_env):
    """Threads that keep logging while the interpreter exits are neither killed
    (which aborts the process) nor left blocked, and the process ends normally.
    The slow finaliser runs Python code after finalisation began, which is when
    a thread waiting for the interpreter lock would get it and be killed."""
    code = """
        import logging, sys, time
        logging.basicConfig(level=logging.DEBUG, stream=sys.stdout, format="%(name)s:%(message)s")
        import velmora_testmod as t

        class SlowFinaliser:
            def __del__(self):
                end = time.monotonic() + 0.1
                while time.monotonic() < end:
                    pass

        keep = SlowFinaliser()
        for _ in range(3):
            t.start_background_logger("exit::spam", "tick", 0)
        time.sleep(0.05)
        print("main done", flush=True)
    """
    for _ in range(3):  # the exit races the threads; a few runs give it a few chances to go wrong
        result = run_child(code, child_env)
        assert result.returncode == 0, result.stderr
        assert "exit.spam:tick" in result.stdout and "main done" in result.stdout


def test_exit_hooks_run_before_forwarding_stops(child_env):
    """An exit hook that joins a logging native thread (as closing a control loop
    does) still gets its records to Python; later records are dropped quietly."""
    result = run_child("""
        import atexit, logging, sys
        logging.basicConfig(level=logging.DEBUG, stream=sys.stdout, format="%(name)s:%(message)s")
        import velmora_testmod as t
        t.log_at_exit("exit::hook", "closing")
        t.log(2, "exit::main", "before exit")
    """, child_env)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["exit.main:before exit", "exit.hook:closing"]
