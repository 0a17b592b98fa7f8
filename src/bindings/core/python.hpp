#pragma once
// The one place the interpreter's headers are included from, so every binding
// file sees the same configuration (Py_ssize_t lengths for "#" formats).

#define PY_SSIZE_T_CLEAN
#include <Python.h>
