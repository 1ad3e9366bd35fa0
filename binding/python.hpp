// The one place the interpreter's headers come in.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
