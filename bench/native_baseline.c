/* Baseline for bench_callbacks.py: plain native threads that each take the
 * interpreter lock with PyGILState_Ensure and call a Python function, the way
 * any C library's callback thread would, without any binding layer.
 *
 * run(fn, args, n, threads, warm=0) -> elapsed seconds for threads * n calls.
 *
 * warm=0: the thread has no Python thread state of its own, so every
 * PyGILState_Ensure creates one and the matching Release destroys it (what a
 * foreign callback thread pays). warm=1: each thread keeps one thread state
 * for the whole run (an outer Ensure, the lock released with
 * PyEval_SaveThread), so a call only takes and drops the lock. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pthread.h>
#include <time.h>

typedef struct {
  PyObject* fn;
  PyObject* args;
  long n;
  int warm;
  pthread_barrier_t* start;
} Job;

static void* worker(void* arg) {
  Job* job = (Job*)arg;
  PyGILState_STATE outer = PyGILState_UNLOCKED;
  PyThreadState* saved = NULL;
  if (job->warm) {
    outer = PyGILState_Ensure();
    saved = PyEval_SaveThread();
  }
  pthread_barrier_wait(job->start);
  for (long i = 0; i < job->n; ++i) {
    PyGILState_STATE state = PyGILState_Ensure();
    PyObject* result = PyObject_Call(job->fn, job->args, NULL);
    if (result == NULL) {
      PyErr_Clear();
    } else {
      Py_DECREF(result);
    }
    PyGILState_Release(state);
  }
  if (job->warm) {
    PyEval_RestoreThread(saved);
    PyGILState_Release(outer);
  }
  return NULL;
}

static double now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

static PyObject* run(PyObject* self, PyObject* a) {
  PyObject* fn;
  PyObject* args;
  long n;
  int threads;
  int warm = 0;
  (void)self;
  if (!PyArg_ParseTuple(a, "OO!li|p", &fn, &PyTuple_Type, &args, &n, &threads, &warm)) return NULL;
  if (threads < 1 || threads > 64) {
    PyErr_SetString(PyExc_ValueError, "threads must be 1..64");
    return NULL;
  }
  pthread_t ids[64];
  Job job = {fn, args, n, warm, NULL};
  pthread_barrier_t start;
  pthread_barrier_init(&start, NULL, (unsigned)threads + 1);
  job.start = &start;
  double t0 = 0, t1 = 0;
  Py_BEGIN_ALLOW_THREADS
  for (int t = 0; t < threads; ++t) pthread_create(&ids[t], NULL, worker, &job);
  t0 = now();
  pthread_barrier_wait(&start);
  for (int t = 0; t < threads; ++t) pthread_join(ids[t], NULL);
  t1 = now();
  Py_END_ALLOW_THREADS
  pthread_barrier_destroy(&start);
  return PyFloat_FromDouble(t1 - t0);
}

static PyMethodDef methods[] = {
    {"run", run, METH_VARARGS, "run(fn, args, n, threads, warm=0) -> seconds"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "native_baseline", NULL, -1, methods};

PyMODINIT_FUNC PyInit_native_baseline(void) { return PyModule_Create(&module); }
