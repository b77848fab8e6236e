// The seam between the _native module's entry points (entry_points.c) and
// their work (native.cc). Each entry point makes a call with the interpreter
// lock held, runs it with the lock released, and finishes it with the lock
// held again; the lock is released and re-taken only in the entry points' C
// frames, never under a C++ frame. A call belongs to the thread that made it
// until finished; no function here lets an exception out.
#ifndef QEL_PYTHON_CALLS_H_
#define QEL_PYTHON_CALLS_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifdef __cplusplus
#define QEL_NOTHROW noexcept
extern "C" {
#else
#define QEL_NOTHROW
#endif

// One call of the core with what makes its Python result.
typedef struct qel_call qel_call;

// Made with the interpreter lock held from the entry point's arguments: the
// call, or NULL with a Python exception set.
qel_call* qel_new_call(PyTypeObject* type, PyObject* args, PyObject* kwargs) QEL_NOTHROW;
qel_call* qel_get_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) QEL_NOTHROW;
qel_call* qel_put_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) QEL_NOTHROW;
qel_call* qel_delete_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) QEL_NOTHROW;
qel_call* qel_contains_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) QEL_NOTHROW;
qel_call* qel_delete_all_call(PyObject* self) QEL_NOTHROW;
qel_call* qel_close_call(PyObject* self) QEL_NOTHROW;
qel_call* qel_stats_call(PyObject* self) QEL_NOTHROW;
qel_call* qel_inspect_file_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) QEL_NOTHROW;
qel_call* qel_list_files_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) QEL_NOTHROW;
qel_call* qel_purge_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) QEL_NOTHROW;
qel_call* qel_live_stats_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) QEL_NOTHROW;
qel_call* qel_clear_live_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) QEL_NOTHROW;

// Without the interpreter lock: the core call itself, or its next step.
void qel_call_run(qel_call* call) QEL_NOTHROW;

// With the interpreter lock held again after a run: whether the call has
// another step to run, made ready here. Runs no Python code.
int qel_call_resume(qel_call* call) QEL_NOTHROW;

// With the interpreter lock held again: the result, or NULL with a Python
// exception set. Frees the call.
PyObject* qel_call_finish(qel_call* call) QEL_NOTHROW;

// The entry points, for the type's and the module's method tables.
PyObject* qel_native_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) QEL_NOTHROW;
PyObject* qel_native_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) QEL_NOTHROW;
PyObject* qel_native_put(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) QEL_NOTHROW;
PyObject* qel_native_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) QEL_NOTHROW;
PyObject* qel_native_contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) QEL_NOTHROW;
PyObject* qel_native_delete_all(PyObject* self, PyObject* unused) QEL_NOTHROW;
PyObject* qel_native_close(PyObject* self, PyObject* unused) QEL_NOTHROW;
PyObject* qel_native_stats(PyObject* self, PyObject* unused) QEL_NOTHROW;
PyObject* qel_module_inspect_file(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) QEL_NOTHROW;
PyObject* qel_module_list_files(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) QEL_NOTHROW;
PyObject* qel_module_purge(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) QEL_NOTHROW;
PyObject* qel_module_live_stats(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) QEL_NOTHROW;
PyObject* qel_module_clear_live(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) QEL_NOTHROW;

#ifdef __cplusplus
}
#endif

#endif  // QEL_PYTHON_CALLS_H_
