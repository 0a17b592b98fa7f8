"""Import behaviour of velmora_motor_controller: one module object, its attributes,
the exported symbols and the refusal of other interpreters."""

import importlib
import shutil
import subprocess
import sys
import textwrap

import pytest

import velmora_motor_controller

CLASS_ORDER = ["VelmoraMotorController", "VelmoraPyControlLoop", "VelmoraTorsoPosition", "ControlLoopStats"]


def test_second_import_returns_the_same_module_and_classes():
    first = velmora_motor_controller
    classes = {name: getattr(first, name) for name in CLASS_ORDER if hasattr(first, name)}
    del sys.modules["velmora_motor_controller"]
    try:
        second = importlib.import_module("velmora_motor_controller")
    finally:
        sys.modules["velmora_motor_controller"] = first
    assert second is first
    for name, cls in classes.items():
        assert getattr(second, name) is cls


def test_module_has_only_the_classes_in_order_and_an_empty_docstring():
    m = velmora_motor_controller
    assert m.__doc__ == ""
    public = [name for name in vars(m) if not name.startswith("__")]
    # Exactly the four classes, in registration order: no PanicException, no functions.
    assert public == CLASS_ORDER
    for name in public:
        cls = getattr(m, name)
        assert isinstance(cls, type) and cls.__base__ is object
        assert cls.__module__ == "builtins" and cls.__name__ == name


def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", velmora_motor_controller.__file__],
                         check=True, capture_output=True, text=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_velmora_motor_controller"]


def run_child(code, env, timeout=60):
    return subprocess.run([sys.executable, "-S", "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=timeout)


def test_other_interpreter_gets_import_error(child_env):
    sub = pytest.importorskip("_xxsubinterpreters")  # 3.11/3.12 name; newer ones isolate on their own
    del sub
    result = run_child("""
        import velmora_motor_controller
        import _xxsubinterpreters as subs
        interp = subs.create()
        try:
            subs.run_string(interp, "import velmora_motor_controller")
        except subs.RunFailedError as e:
            print("failed:", e)
        else:
            print("imported")
    """, child_env)
    assert result.returncode == 0, result.stderr
    assert "failed: <class 'ImportError'>" in result.stdout


def test_import_without_logging_is_a_fault(child_env):
    result = run_child("""
        import sys
        sys.modules['logging'] = None   # makes `import logging` fail
        try:
            import velmora_motor_controller
        except BaseException as e:
            print(type(e).__name__, isinstance(e, Exception), e)
    """, child_env)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "PanicException False Failed to initialize python logging"
