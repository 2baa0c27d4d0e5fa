"""The sanitizer run can fail: faults in an extension's own code are reported.

A probe extension, built here with the same sanitizers, leaks, overflows or
overflows a signed integer on request; an interpreter started like the one
running this suite must report each and exit with failure, while the
interpreter's own never-freed blocks stay silent.
"""

import os
import shutil
import subprocess
import sys
import sysconfig

import pytest

from conftest import UNDER_SANITIZER

pytestmark = pytest.mark.skipif(not UNDER_SANITIZER, reason="only meaningful in the sanitizer run")

PROBE = r"""
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdlib.h>
#include <string.h>

static void *volatile sink;

static PyObject *nothing(PyObject *self, PyObject *args) { Py_RETURN_NONE; }

static PyObject *probe_leak(PyObject *self, PyObject *args) {
    sink = malloc(77);
    sink = NULL;
    Py_RETURN_NONE;
}

static PyObject *overflow(PyObject *self, PyObject *args) {
    char *block = calloc(8, 1), copy[16];
    volatile size_t one_too_many = 9;
    memcpy(copy, block, one_too_many);
    free(block);
    return PyLong_FromLong(copy[0]);
}

static PyObject *signed_overflow(PyObject *self, PyObject *args) {
    volatile int large = 2147483647;
    return PyLong_FromLong(large + 1);
}

static PyMethodDef methods[] = {
    {"nothing", nothing, METH_NOARGS, NULL},
    {"leak", probe_leak, METH_NOARGS, NULL},
    {"overflow", overflow, METH_NOARGS, NULL},
    {"signed_overflow", signed_overflow, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};
static struct PyModuleDef definition = {PyModuleDef_HEAD_INIT, "probe", NULL, -1, methods};
PyMODINIT_FUNC PyInit_probe(void) { return PyModule_Create(&definition); }
"""


@pytest.fixture(scope="module")
def probe_dir(tmp_path_factory):
    directory = tmp_path_factory.mktemp("probe")
    source = directory / "probe.c"
    source.write_text(PROBE)
    compiler = os.environ.get("CC") or shutil.which("cc") or "gcc"
    subprocess.run(
        [compiler, "-shared", "-fPIC", "-O1", "-g", "-fsanitize=address,undefined", "-fno-omit-frame-pointer",
         "-fno-sanitize-recover=undefined", f"-I{sysconfig.get_paths()['include']}", str(source),
         "-o", str(directory / ("probe" + sysconfig.get_config_var("EXT_SUFFIX")))],
        check=True,
    )
    return directory


@pytest.mark.parametrize("action, report", [
    ("nothing", None),
    ("leak", "LeakSanitizer: detected memory leaks"),
    ("overflow", "AddressSanitizer: heap-buffer-overflow"),
    ("signed_overflow", "runtime error: signed integer overflow"),
])
def test_fault_in_extension_code_fails_the_process(probe_dir, action, report):
    script = f"import numpy, corvane, probe; probe.{action}()"
    env = dict(os.environ, ASAN_OPTIONS=os.environ["ASAN_OPTIONS"] + ":detect_leaks=1", PYTHONPATH=str(probe_dir))
    run = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True)
    if report is None:
        assert run.returncode == 0, run.stderr
        assert "Sanitizer" not in run.stderr and "runtime error" not in run.stderr, run.stderr
    else:
        assert run.returncode != 0
        assert report in run.stderr, run.stderr
        if action == "leak":
            assert "probe_leak" in run.stderr, run.stderr
