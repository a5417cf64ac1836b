// The floor of a callback: what carrying one SDK callback into a Python
// method costs when written by hand against the C API, with nothing of a
// binding layer. bench_instructions.py sets the binding against it.
//
// FloorDelegate is an SDK delegate in C++. It is given to a cloud like the
// binding's trampoline, so the same injected events reach it on the same SDK
// event thread. Each SDK thread keeps one Python thread state from its first
// callback on (made without the lock, attached and detached around every
// call). Each callback looks the method up by name on the target object
// (an interned name, vectorcall: a method replaced at run time is the one
// called) and passes the same Python arguments the binding builds:
//
//   OnRemoteAudioReceived(user_id: str, frame: bytes, a copy of the payload)
//   OnSeiMessageReceived(user_id: str, stream_type: int, message_type: int,
//                        message: bytes)
//   OnNetworkQuality(local: Quality, remote: list of Quality)
//
// where a Quality is a small object of this module owning a copy of one
// NetworkQualityInfo (the SDK's copy constructor, its destructor on
// deallocation). Errors are cleared; the result is dropped.
//
// Module functions (the module links the SDK library under test):
//   create(target) -> cloud control id      destroy(id)
//   callgrind_dump(name)   dumps and zeroes callgrind's counts when running
//                          under callgrind (does nothing otherwise)
//   on_valgrind() -> bool
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <new>

#if defined(__has_include)
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define FLOOR_HAS_CALLGRIND 1
#endif
#endif

#include "lumora_control.h"
#include "vela/lumora_vela_cloud.h"

using namespace lumora::vela;

namespace {

// ---- Quality: a Python object owning a copy of one record ----------------------

struct QualityObject {
  PyObject_HEAD
  NetworkQualityInfo record;
};

void QualityDealloc(PyObject* self) {
  reinterpret_cast<QualityObject*>(self)->record.~NetworkQualityInfo();
  Py_TYPE(self)->tp_free(self);
}

PyTypeObject QualityType = [] {
  PyTypeObject type{};
  type.tp_name = "floor_delegate.Quality";
  type.tp_basicsize = sizeof(QualityObject);
  type.tp_flags = Py_TPFLAGS_DEFAULT;
  type.tp_dealloc = QualityDealloc;
  return type;
}();

PyObject* NewQuality(const NetworkQualityInfo& record) {
  PyObject* self = QualityType.tp_alloc(&QualityType, 0);
  if (self != nullptr) {
    new (&reinterpret_cast<QualityObject*>(self)->record) NetworkQualityInfo(record);
  }
  return self;
}

// ---- The kept thread state and the call -----------------------------------------

PyObject* name_audio = nullptr;
PyObject* name_sei = nullptr;
PyObject* name_quality = nullptr;

thread_local PyThreadState* kept_state = nullptr;

class Attached {
 public:
  Attached() {
    if (kept_state == nullptr) {
      kept_state = PyThreadState_New(PyInterpreterState_Main());
    }
    PyEval_RestoreThread(kept_state);
  }
  ~Attached() { PyEval_SaveThread(); }
};

PyObject* Text(const char* text) { return text ? PyUnicode_DecodeUTF8(text, strlen(text), "strict") : Py_NewRef(Py_None); }

// Calls target.<name>(*args), stealing the argument references; any null
// argument (a failed conversion) skips the call.
template <size_t N>
void CallMethod(PyObject* target, PyObject* name, PyObject* (&&args)[N]) {
  PyObject* stack[N + 1];
  stack[0] = target;
  bool ok = true;
  for (size_t i = 0; i < N; ++i) {
    stack[i + 1] = args[i];
    ok = ok && args[i] != nullptr;
  }
  if (ok) {
    PyObject* result = PyObject_VectorcallMethod(name, stack, (N + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    Py_XDECREF(result);
  }
  for (size_t i = 0; i < N; ++i) {
    Py_XDECREF(args[i]);
  }
  if (PyErr_Occurred()) {
    PyErr_Clear();
  }
}

class FloorDelegate final : public VELACloudDelegate {
 public:
  explicit FloorDelegate(PyObject* target) : target_(target) {}

  void OnError(Error) override {}
  void OnConnectionStateChanged(ConnectionState, ConnectionState) override {}
  void OnEnterRoom() override {}
  void OnExitRoom() override {}
  void OnLocalAudioChannelCreated() override {}
  void OnLocalAudioChannelDestroyed() override {}
  void OnLocalVideoChannelCreated(StreamType) override {}
  void OnLocalVideoChannelDestroyed(StreamType) override {}
  void OnRequestChangeVideoEncodeBitrate(StreamType, int) override {}
  void OnRequestKeyFrame(StreamType) override {}
  void OnRemoteUserEnterRoom(const UserInfo&) override {}
  void OnRemoteUserExitRoom(const UserInfo&, int) override {}
  void OnRemoteAudioAvailable(const char*, bool) override {}
  void OnRemoteVideoAvailable(const char*, bool, StreamType) override {}
  void OnRemoteVideoReceived(const char*, StreamType, const VideoFrame&) override {}
  void OnRemoteVideoReceived(const char*, StreamType, const PixelFrame&) override {}
  void OnRemoteMixedAudioReceived(const AudioFrame&) override {}
  void OnReceiveCustomCmdMsg(const char*, int32_t, uint32_t, const char*, size_t) override {}
  void OnMissCustomCmdMsg(const char*, int32_t, uint32_t, uint32_t) override {}

  void OnRemoteAudioReceived(const char* user_id, const AudioFrame& frame) override {
    Attached attached;
    CallMethod(target_, name_audio,
               {Text(user_id), PyBytes_FromStringAndSize(reinterpret_cast<const char*>(frame.data()),
                                                         static_cast<Py_ssize_t>(frame.size()))});
  }

  void OnSeiMessageReceived(const char* user_id, StreamType stream_type, int message_type, const char* message,
                            size_t length) override {
    Attached attached;
    CallMethod(target_, name_sei,
               {Text(user_id), PyLong_FromLong(stream_type), PyLong_FromLong(message_type),
                PyBytes_FromStringAndSize(message, static_cast<Py_ssize_t>(length))});
  }

  void OnNetworkQuality(NetworkQualityInfo* local_quality, NetworkQualityInfo* remote_qualities,
                        size_t remote_quality_count) override {
    Attached attached;
    PyObject* local = NewQuality(local_quality != nullptr ? *local_quality : NetworkQualityInfo());
    PyObject* remote = PyList_New(static_cast<Py_ssize_t>(remote_quality_count));
    for (size_t i = 0; remote != nullptr && i < remote_quality_count; ++i) {
      PyObject* item = NewQuality(remote_qualities[i]);
      if (item == nullptr) {
        Py_CLEAR(remote);
        break;
      }
      PyList_SET_ITEM(remote, static_cast<Py_ssize_t>(i), item);
    }
    CallMethod(target_, name_quality, {local, remote});
  }

 private:
  PyObject* target_;  // a strong reference, held by the module's table
};

struct Floor {
  PyObject* target;
  FloorDelegate* delegate;
  VELACloud* cloud;
};

std::mutex floors_mutex;
std::map<uint64_t, Floor> floors;

PyObject* Create(PyObject*, PyObject* target) {
  Floor floor{Py_NewRef(target), new FloorDelegate(target), nullptr};
  floor.cloud = VELACloud::Create(floor.delegate);
  const uint64_t id = lumora_cloud_last_id();
  std::lock_guard<std::mutex> lock(floors_mutex);
  floors[id] = floor;
  return PyLong_FromUnsignedLongLong(id);
}

PyObject* Destroy(PyObject*, PyObject* arg) {
  const uint64_t id = PyLong_AsUnsignedLongLong(arg);
  if (PyErr_Occurred()) {
    return nullptr;
  }
  Floor floor{};
  {
    std::lock_guard<std::mutex> lock(floors_mutex);
    auto found = floors.find(id);
    if (found == floors.end()) {
      Py_RETURN_NONE;
    }
    floor = found->second;
    floors.erase(found);
  }
  // Destroy joins the event thread, whose callbacks need the lock.
  Py_BEGIN_ALLOW_THREADS
  VELACloud::Destroy(floor.cloud);
  Py_END_ALLOW_THREADS
  delete floor.delegate;
  Py_DECREF(floor.target);
  Py_RETURN_NONE;
}

PyObject* CallgrindDump(PyObject*, PyObject* name) {
  const char* text = PyUnicode_AsUTF8(name);
  if (text == nullptr) {
    return nullptr;
  }
#ifdef FLOOR_HAS_CALLGRIND
  CALLGRIND_DUMP_STATS_AT(text);
#endif
  Py_RETURN_NONE;
}

PyObject* OnValgrind(PyObject*, PyObject*) {
#ifdef FLOOR_HAS_CALLGRIND
  return PyBool_FromLong(RUNNING_ON_VALGRIND ? 1 : 0);
#else
  Py_RETURN_FALSE;
#endif
}

PyMethodDef methods[] = {
    {"create", Create, METH_O, "create(target) -> cloud control id"},
    {"destroy", Destroy, METH_O, "destroy(id)"},
    {"callgrind_dump", CallgrindDump, METH_O, "callgrind_dump(name)"},
    {"on_valgrind", OnValgrind, METH_NOARGS, "on_valgrind() -> bool"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "floor_delegate", nullptr, -1, methods};

}  // namespace

PyMODINIT_FUNC PyInit_floor_delegate(void) {
  if (PyType_Ready(&QualityType) < 0) {
    return nullptr;
  }
  name_audio = PyUnicode_InternFromString("OnRemoteAudioReceived");
  name_sei = PyUnicode_InternFromString("OnSeiMessageReceived");
  name_quality = PyUnicode_InternFromString("OnNetworkQuality");
  return PyModule_Create(&module_def);
}
