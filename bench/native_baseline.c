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
 * PyEval_SaveThread), so a call only takes and drops the lock.
 *
 * paced(groups, seconds, warm=1, fn=None) -> dict: the floor of bench_load.py.
 * One native thread receives a paced stream of payloads: groups is a
 * sequence of (events per second, calls per event, bytes per call), and at
 * each event the thread makes that many calls, each taking the lock with
 * PyGILState_Ensure, copying the payload into a new bytes object (what a
 * callback's frame.data costs), optionally calling fn(bytes), and releasing.
 * The result holds the thread's own CPU time (CLOCK_THREAD_CPUTIME_ID), the
 * wall time, and the calls, bytes and late events (an event is late when
 * its calls started more than one event period after it was due). */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
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

#define MAX_GROUPS 8

typedef struct {
  double rate;    /* events per second */
  long calls;     /* calls per event */
  Py_ssize_t size; /* bytes per call */
  char* payload;
  double due;     /* next event, seconds on the monotonic clock */
  long events;
} Group;

typedef struct {
  Group groups[MAX_GROUPS];
  int ngroups;
  double seconds;
  int warm;
  PyObject* fn; /* or NULL */
  double cpu, wall;
  long calls, late;
  long long bytes;
} Paced;

static double thread_cpu(void) {
  struct timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

static void sleep_until(double t) {
  struct timespec ts;
  ts.tv_sec = (time_t)t;
  ts.tv_nsec = (long)((t - (double)ts.tv_sec) * 1e9);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, NULL) != 0) {
  }
}

static void* paced_worker(void* arg) {
  Paced* p = (Paced*)arg;
  PyGILState_STATE outer = PyGILState_UNLOCKED;
  PyThreadState* saved = NULL;
  if (p->warm) {
    outer = PyGILState_Ensure();
    saved = PyEval_SaveThread();
  }
  double cpu0 = thread_cpu();
  double t0 = now() + 0.01;
  double end = t0 + p->seconds;
  for (int g = 0; g < p->ngroups; ++g) p->groups[g].due = t0;
  for (;;) {
    Group* next = &p->groups[0];
    for (int g = 1; g < p->ngroups; ++g) {
      if (p->groups[g].due < next->due) next = &p->groups[g];
    }
    if (next->due >= end) break;
    sleep_until(next->due);
    if (now() - next->due > 1.0 / next->rate) ++p->late;
    for (long i = 0; i < next->calls; ++i) {
      PyGILState_STATE state = PyGILState_Ensure();
      PyObject* data = PyBytes_FromStringAndSize(next->payload, next->size);
      if (data != NULL && p->fn != NULL) {
        PyObject* result = PyObject_CallOneArg(p->fn, data);
        Py_XDECREF(result);
      }
      if (PyErr_Occurred()) PyErr_Clear();
      Py_XDECREF(data);
      PyGILState_Release(state);
      p->bytes += next->size;
      ++p->calls;
    }
    ++next->events;
    next->due = t0 + next->events / next->rate;
  }
  p->wall = now() - t0;
  p->cpu = thread_cpu() - cpu0;
  if (p->warm) {
    PyEval_RestoreThread(saved);
    PyGILState_Release(outer);
  }
  return NULL;
}

static PyObject* paced(PyObject* self, PyObject* a) {
  PyObject* spec;
  double seconds;
  int warm = 1;
  PyObject* fn = Py_None;
  (void)self;
  if (!PyArg_ParseTuple(a, "Od|pO", &spec, &seconds, &warm, &fn)) return NULL;
  PyObject* seq = PySequence_Fast(spec, "groups must be a sequence of (rate, calls, size)");
  if (seq == NULL) return NULL;
  Paced p;
  memset(&p, 0, sizeof p);
  p.ngroups = (int)PySequence_Fast_GET_SIZE(seq);
  p.seconds = seconds;
  p.warm = warm;
  p.fn = fn == Py_None ? NULL : fn;
  if (p.ngroups < 1 || p.ngroups > MAX_GROUPS) {
    Py_DECREF(seq);
    PyErr_SetString(PyExc_ValueError, "1..8 groups");
    return NULL;
  }
  int ok = 1;
  for (int g = 0; g < p.ngroups && ok; ++g) {
    Group* gr = &p.groups[g];
    ok = PyArg_ParseTuple(PySequence_Fast_GET_ITEM(seq, g), "dln", &gr->rate, &gr->calls, &gr->size);
    if (ok && (gr->rate <= 0 || gr->calls < 0 || gr->size < 0)) {
      PyErr_SetString(PyExc_ValueError, "rate > 0, calls >= 0, size >= 0");
      ok = 0;
    }
    if (ok) {
      gr->payload = malloc(gr->size ? (size_t)gr->size : 1);
      if (gr->payload == NULL) {
        PyErr_NoMemory();
        ok = 0;
      } else {
        for (Py_ssize_t i = 0; i < gr->size; ++i) gr->payload[i] = (char)(i * 7 + g);
      }
    }
  }
  Py_DECREF(seq);
  if (ok) {
    pthread_t id;
    Py_BEGIN_ALLOW_THREADS
    pthread_create(&id, NULL, paced_worker, &p);
    pthread_join(id, NULL);
    Py_END_ALLOW_THREADS
  }
  for (int g = 0; g < p.ngroups; ++g) free(p.groups[g].payload);
  if (!ok) return NULL;
  return Py_BuildValue("{s:d,s:d,s:l,s:L,s:l}", "cpu", p.cpu, "wall", p.wall, "calls", p.calls, "bytes",
                       p.bytes, "late", p.late);
}

static PyMethodDef methods[] = {
    {"run", run, METH_VARARGS, "run(fn, args, n, threads, warm=0) -> seconds"},
    {"paced", paced, METH_VARARGS, "paced(groups, seconds, warm=1, fn=None) -> dict"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "native_baseline", NULL, -1, methods};

PyMODINIT_FUNC PyInit_native_baseline(void) { return PyModule_Create(&module); }
