// The _native module's entry points: each releases the interpreter lock around
// its core call and takes it back here, in C. A thread that takes the lock
// back while the interpreter finalizes is ended by pthread_exit, with a forced
// unwind that the system's unwinder (libgcc_s, loaded by the C library) drives
// through every frame on the thread's stack. These frames carry call-frame
// information and no personality routine, so that unwind steps through them
// without calling into the C++ runtime and unwinder linked into the module,
// whichever they are; the C++ frames that made the call have returned by then.
// Called by any thread holding the interpreter lock; see calls.h.
#include "python/calls.h"

static PyObject* released(qel_call* call) {
  if (call == NULL) return NULL;
  do {
    PyThreadState* state = PyEval_SaveThread();
    qel_call_run(call);
    PyEval_RestoreThread(state);
  } while (qel_call_resume(call));
  return qel_call_finish(call);
}

PyObject* qel_native_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return released(qel_new_call(type, args, kwargs));
}

PyObject* qel_native_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return released(qel_get_call(self, args, nargs, kwnames));
}

PyObject* qel_native_put(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return released(qel_put_call(self, args, nargs, kwnames));
}

PyObject* qel_native_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return released(qel_delete_call(self, args, nargs, kwnames));
}

PyObject* qel_native_contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return released(qel_contains_call(self, args, nargs, kwnames));
}

PyObject* qel_native_delete_all(PyObject* self, PyObject* unused) {
  (void)unused;
  return released(qel_delete_all_call(self));
}

PyObject* qel_native_close(PyObject* self, PyObject* unused) {
  (void)unused;
  return released(qel_close_call(self));
}

PyObject* qel_native_stats(PyObject* self, PyObject* unused) {
  (void)unused;
  return released(qel_stats_call(self));
}

PyObject* qel_module_inspect_file(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  (void)module;
  return released(qel_inspect_file_call(args, nargs, kwnames));
}

PyObject* qel_module_list_files(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  (void)module;
  return released(qel_list_files_call(args, nargs, kwnames));
}

PyObject* qel_module_purge(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  (void)module;
  return released(qel_purge_call(args, nargs, kwnames));
}

PyObject* qel_module_live_stats(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  (void)module;
  return released(qel_live_stats_call(args, nargs, kwnames));
}

PyObject* qel_module_clear_live(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  (void)module;
  return released(qel_clear_live_call(args, nargs, kwnames));
}
