"""Translation of C++ failures into Python exceptions at the boundary."""

import pytest


def test_fault_becomes_panic_exception_outside_the_exception_hierarchy(testmod):
    panic = testmod.panic_type()
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    assert panic.__name__ == "PanicException"
    assert testmod.panic_type() is panic
    with pytest.raises(BaseException) as info:
        try:
            testmod.panic("broken invariant: joint 4 of 3")
        except Exception:  # an ordinary handler must not swallow a fault
            pytest.fail("PanicException was caught as an Exception")
    assert type(info.value) is panic
    assert info.value.args == ("broken invariant: joint 4 of 3",)
    # The module keeps working after a fault.
    assert testmod.f64(1) == 1.0


def test_operational_failures_and_allocation_failures(testmod):
    with pytest.raises(RuntimeError) as info:
        testmod.runtime_error("Failed to lock motor controller")
    assert type(info.value) is RuntimeError and str(info.value) == "Failed to lock motor controller"
    with pytest.raises(MemoryError):
        testmod.out_of_memory()
