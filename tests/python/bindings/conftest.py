"""Fixtures for the binding-core tests.

Fixtures:
    testmod       the test-only extension velmora_testmod, found in $VELMORA_TESTMOD_DIR or,
                  failing that, in the most recently built build/*/python_testmod
    child_env     environment for a child interpreter that can import both extensions
    log_target    a log target no other test uses, with its Python logger name
"""

from __future__ import annotations

import importlib
import itertools
import os
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[3]
_serial = itertools.count()


def testmod_dir() -> Path | None:
    env = os.environ.get("VELMORA_TESTMOD_DIR")
    if env:
        return Path(env)
    built = [p for p in ROOT.glob("build/*/python_testmod") if any(p.glob("velmora_testmod*.so"))]
    return max(built, key=lambda p: p.stat().st_mtime) if built else None


@pytest.fixture(scope="session")
def testmod():
    folder = testmod_dir()
    if folder is None or not folder.is_dir():
        pytest.skip("velmora_testmod is not built (configure with VELMORA_BUILD_TESTS=ON)")
    if str(folder) not in sys.path:
        sys.path.insert(0, str(folder))
    return importlib.import_module("velmora_testmod")


@pytest.fixture(scope="session")
def child_env(testmod):
    import velmora_motor_controller

    paths = [os.path.dirname(testmod.__file__), os.path.dirname(velmora_motor_controller.__file__)]
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(paths + [env.get("PYTHONPATH", "")])
    return env


@pytest.fixture
def log_target(request):
    """(target, logger name) unique to this test: the bridge caches per name for good."""
    stem = "".join(c if c.isalnum() else "_" for c in request.node.name)
    n = next(_serial)
    return f"velmora_test::{stem}{n}::bridge", f"velmora_test.{stem}{n}.bridge"
