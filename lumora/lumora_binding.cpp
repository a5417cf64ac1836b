// _lumora: the Python binding of the Lumora real-time audio/video SDK.
//
// The binding is thin: SDK names, exact conversions at the boundary, every
// SDK callback carried into Python as one call under the interpreter lock,
// and the lifetimes of the objects that cross the boundary tied together.
// SDK threads call into Python at any time, also while a cloud is being
// destroyed, while the interpreter exits or in a forked child, and Python
// code may hand the binding objects that were never built, patch its
// delegate classes or recurse through callbacks. The file is arranged by
// concern; each opens with its problem, its design, what invalidates what it
// keeps, and who may run it concurrently, then its code:
//
//   1. SDK values the module relies on
//   2. The bound types (the one list of them)
//   3. Owned copies handed to callbacks
//   4. Instances that were never constructed
//   5. The interpreter gate (interpreter exit)
//   6. Thread states of SDK threads
//   7. Who made a callback, and errors the program must see
//   8. Entering Python
//   9. A forked child
//  10. The callbacks (the one list of them)
//  11. Delegates that were given to a cloud
//  12. Arguments handed to Python
//  13. The text of a Python error
//  14. Finding and calling the Python method
//  15. The trampoline
//  16. The cloud
//  17. Values taken from Python
//  18. Registration
//  19. Module set-up
//
// Each concern names the tests (under tests/binding/) that prove it.
//
// ---------------------------------------------------------------------------
// Index of the shortcuts into other libraries' internals
//
// Where the binding reads or replaces state that pybind11 (the binding
// layer) or CPython keeps for itself, the line says so with the tag
// "INTERNALS: <name>" (grep for it); everything else uses documented
// interfaces. Each shortcut either takes work off the callback path or
// closes a hole that the documented interfaces leave, and each rests on how
// pybind11 3.0.x and CPython 3.14 lay out their state. That is why the build
// requirement stops below pybind11 3.1 (pyproject.toml);
// scripts/run_lowest_pybind11_tests.sh builds and tests the lowest release
// the requirement allows, the toolchain the newest. Every callback holds the
// interpreter lock (a global one: the module does not declare that it can
// run without it), which is what makes reading pybind11's tables directly
// safe. A free-threaded build (Py_GIL_DISABLED), where a user may still
// force the lock off, shards and locks those tables, so there the shortcuts
// that read them give way to pybind11's own paths.
//
// thread-state-fields (CPython; concern 6)
//   Skips: making and deleting a thread state for every callback of an SDK
//   thread. Relies on: two fields of PyThreadState as cpython/pystate.h
//   declares them: `gilstate_counter` of a kept state is 1 (the count its
//   holder keeps), so that a scoped acquisition made by Python code in a
//   callback never deletes it; `_status.bound_gilstate` of a state retired
//   by an ending thread is 0, so that the thread deleting it later does not
//   clear its own slot of the PyGILState functions. Free-threaded: the same
//   fields and code. Tests: the whole suite in the default build;
//   test_reliability.py: test_native_thread_that_called_back_is_joined_under_the_lock,
//   test_thread_local_state_across_callbacks_of_one_sdk_thread.
// instance-layout (pybind11; concern 3)
//   Skips, for the records, frames and enumeration values a callback hands
//   over: finding the type information by hashing the type's name, the
//   search for a live Python object at the copy's new address and its entry
//   in the table of instances (nothing else knows that address), the search
//   for the type information again on deallocation, and a new value for
//   every copy (values given back are kept as spares). Relies on: pybind11's
//   `instance` (simple_layout, simple_value_holder, the holder and
//   registration flags, owned, weakrefs, has_patients), `value_and_holder`
//   made for an instance of exactly its type, `type_info` (holder_enum_v,
//   holder_size_in_ptrs, simple_ancestors, dealloc), and every type of the
//   module sharing one deallocation function. Only types held by
//   std::unique_ptr whose instances have the plain layout take the short
//   way; VELACloudDelegate (a std::shared_ptr) and any Python subclass keep
//   pybind11's. Free-threaded: not used; copies go through pybind11's cast
//   with take_ownership and its own deallocation, without spares. Tests:
//   test_delegate.py: test_frames_kept_after_callback, test_injected_conversions,
//   test_each_delivery_gets_its_own_values_whatever_came_before;
//   test_reliability.py: test_direct_calls_pass_copies_not_the_callers_objects;
//   test_callback_boundaries.py: test_objects_made_and_dropped_leave_nothing_allocated.
// instance-table (pybind11; concerns 3 and 14)
//   Skips: pybind11's search of its table of instances through the type
//   information of every registered base, when a callback looks for the
//   Python object of its delegate. Relies on: `internals::registered_instances`
//   (a multimap from a value's address to its instances), read and erased
//   with the lock held. Free-threaded: get_object_handle finds the object,
//   and deallocation is pybind11's. Tests: test_reliability.py:
//   test_late_callbacks_of_a_dropped_cloud_are_dropped_quietly,
//   test_late_callbacks_stress; test_delegate.py:
//   test_sdk_thread_lookup_follows_replaced_methods.
// type-version-lookup (CPython; concern 14)
//   Skips, for a class that uses the ordinary attribute lookup: the search
//   of the class and its bases on every call and the bound method getattr
//   makes. What the class holds under a callback's name is remembered while
//   the class's version tag is unchanged (CPython renews the tag on every
//   change of the class or of a base, and never reuses one); the instance's
//   own attributes are looked at on every call. Relies on: `tp_version_tag`
//   and `_PyType_Lookup` (exported, declared in cpython/object.h).
//   Free-threaded: every lookup is a getattr. Tests: test_delegate.py:
//   test_patched_class_methods_reach_every_path,
//   test_instance_attributes_follow_one_rule_on_every_path,
//   test_base_method_set_on_the_instance_is_missing_without_recursion,
//   test_method_added_after_a_miss_is_seen_and_a_removed_one_missed_again,
//   test_sdk_thread_lookup_follows_replaced_methods,
//   test_sdk_thread_lookup_honours_custom_attribute_lookup.
// call-down-frame (CPython; concern 14)
//   Closes: super().OnEnterRoom() inside a Python OnEnterRoom calling that
//   method again through the base, without end. Relies on: the calling
//   frame (PyEval_GetFrame, PyFrame_GetVar) and PyCodeObject's `co_argcount`
//   and `co_name` (cpython/code.h). Free-threaded: the same. Tests:
//   test_delegate.py: test_super_call_down_does_not_recurse,
//   test_base_method_set_on_the_instance_is_missing_without_recursion.
// traceback-fields (CPython; concern 13)
//   Skips: the traceback module (Python code, which fails or recurses when
//   the stack is nearly used up) in the text of an error. Relies on:
//   PyTracebackObject's `tb_next` and `tb_frame` (cpython/traceback.h) and
//   PyCodeObject's `co_filename` and `co_name`. Free-threaded: the same.
//   Tests: test_delegate.py: test_guarded_errors_go_to_process_stderr;
//   test_callback_boundaries.py: test_deep_synchronous_reentry_raises_recursion_error.
// common-base (pybind11; concern 4)
//   Closes: pickle protocols 0 and 1 instantiating pybind11's common base,
//   whose constructor then ends the process. Relies on:
//   `internals::instance_base`, whose constructor slot every class of the
//   module inherits. Free-threaded: the same. Tests: test_reliability.py:
//   test_pickle_protocols_0_and_1_raise_instead_of_aborting.
// operator-new (pybind11; concern 4)
//   Closes: methods of an instance made without __init__ receiving memory
//   that was allocated but never constructed. Relies on:
//   `type_info::operator_new` being what loading an unconstructed instance
//   allocates with. Free-threaded: the same. Tests:
//   test_callback_boundaries.py: test_instances_made_without_init_raise_type_error.
// holder-caster (pybind11; concerns 4 and 16)
//   Closes: a delegate made without __init__ handed to VELACloud, whose
//   shared holder pybind11 loads without allocating. Relies on:
//   `copyable_holder_caster` (subclassed for the delegate's holder) and the
//   holder flag of an instance (`value_and_holder::holder_constructed`).
//   Free-threaded: the same. Tests: test_callback_boundaries.py:
//   test_instances_made_without_init_raise_type_error.
// ---------------------------------------------------------------------------

#include <pybind11/pybind11.h>
#include <pthread.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <unordered_set>
#include <utility>
#include <vector>

#include "live/lumora_halo_live_sdk.h"
#include "vela/lumora_vela_cloud.h"
#include "vela/lumora_vela_defines.h"

namespace py = pybind11;

using lumora::live::HaloLiveSDK;
using namespace lumora::vela;

// ===========================================================================
// 1. SDK values the module relies on
//
// Problem. Enumeration values cross into the SDK unchanged, and Python code
// relies on their numbers.
// Design. The header the module is built against must agree with those
// numbers and widths; a build against one that does not fails here.
// Invalidation, concurrency: none (checked at compile time).
// ===========================================================================

static_assert(sizeof(Error) == 4 && sizeof(StreamType) == 4 && sizeof(AudioCodecType) == 4 &&
                  sizeof(VideoCodecType) == 4 && sizeof(VideoRotation) == 4 && sizeof(VideoPixelFormat) == 4 &&
                  sizeof(VELAScene) == 4 && sizeof(VELARole) == 4 && sizeof(ConnectionState) == 4 &&
                  sizeof(AudioObtainMethod) == 4 && sizeof(NetworkQuality) == 4,
              "SDK enumerations are 32 bits wide");
static_assert(ERR_OK == 0 && ERR_FAILED == -1 && ERR_INVALID_PARAMETER == -2 && ERR_INVALID_OPERATION == -3 &&
                  ERR_NOT_SUPPORTED == -4 && ERR_REQUEST_SERVER_TIMEOUT == -6 && ERR_SERVER_PROCESS_FAILED == -7 &&
                  ERR_READ_TRY_AGAIN == -102 && ERR_NETWORK_UNREACHABLE == -103 && ERR_ENTER_ROOM_FAILED == -3301 &&
                  ERR_INVALID_SDK_APP_ID == -3317 && ERR_INVALID_ROOM_ID == -3318 &&
                  ERR_INVALID_USER_ID == -3319 && ERR_INVALID_USER_SIG == -3320 &&
                  ERR_SERVICE_SUSPENDED == -100013 && ERR_BANNED_BY_SERVER == -205,
              "Error values");
static_assert(VIDEO_CODEC_TYPE_H264 == 0 && VIDEO_CODEC_TYPE_H265 == 1, "VideoCodecType values");
static_assert(AUDIO_CODEC_TYPE_PCM == 0 && AUDIO_CODEC_TYPE_OPUS == 1 && AUDIO_CODEC_TYPE_AAC == 2,
              "AudioCodecType values");
static_assert(VELA_ROLE_ANCHOR == 0 && VELA_ROLE_AUDIENCE == 1, "VELARole values");
static_assert(VELA_SCENE_VIDEO_CALL == 0 && VELA_SCENE_AUDIO_CALL == 1 && VELA_SCENE_LIVE == 2 &&
                  VELA_SCENE_VOICE_CHAT == 3 && VELA_SCENE_RECORD == 4,
              "VELAScene values");
static_assert(STREAM_TYPE_UNKNOWN == -1 && STREAM_TYPE_VIDEO_HIGH == 2 && STREAM_TYPE_VIDEO_LOW == 3 &&
                  STREAM_TYPE_VIDEO_AUX == 7 && STREAM_TYPE_AUDIO == 1,
              "StreamType values");
static_assert(AUDIO_OBTAIN_METHOD_GET == 0 && AUDIO_OBTAIN_METHOD_CALLBACK == 1, "AudioObtainMethod values");
static_assert(NETWORK_QUALITY_UNKNOWN == 0 && NETWORK_QUALITY_EXCELLENT == 1 && NETWORK_QUALITY_GOOD == 2 &&
                  NETWORK_QUALITY_POOR == 3 && NETWORK_QUALITY_BAD == 4 && NETWORK_QUALITY_VERY_BAD == 5 &&
                  NETWORK_QUALITY_DOWN == 6,
              "NetworkQuality values");
static_assert(CONNECTION_STATE_INIT == 0 && CONNECTION_STATE_DISCONNECTED == 1 &&
                  CONNECTION_STATE_CONNECTING == 2 && CONNECTION_STATE_CONNECTED == 3,
              "ConnectionState values");
static_assert(VIDEO_ROTATION_0 == 0 && VIDEO_ROTATION_90 == 1 && VIDEO_ROTATION_180 == 2 && VIDEO_ROTATION_270 == 3,
              "VideoRotation values");
static_assert(VIDEO_PIXEL_FORMAT_YUV420p == 0 && VIDEO_PIXEL_FORMAT_YUVA420p == 1 && VIDEO_PIXEL_FORMAT_RGBA == 2,
              "VideoPixelFormat values");

// ===========================================================================
// 2. The bound types (the one list of them)
//
// Problem. Besides registering them, the binding treats its types in three
// ways at set-up: every one refuses instances made without __init__ (concern
// 4), the delegate is found by address on every callback (concern 14), and
// the values callbacks hand over are made and freed the short way (concern
// 3). Three lists of the same types drift apart.
// Design. One list, in registration order, saying each type's role;
// the set-up steps walk it and OwnedValue checks at compile time
// that what it copies is marked kCopied. A type in the list that was not
// registered stops the import with an error naming it.
// Invalidation: none; the list is fixed at compile time.
// Concurrency: walked once, at set-up, with the lock held.
// ===========================================================================

class VELACloudWrapper;

namespace {

// What the binding does with a bound type's instances besides what pybind11
// does with them.
enum class Role {
  kRegistered,  // nothing more
  kDelegate,    // found by address on every callback (RegisteredDelegate)
  kCopied,      // handed to callbacks as owned copies (OwnedValue)
};

template <typename Type, Role kRole>
struct Bound {
  using type = Type;
  static constexpr Role role = kRole;
};

template <typename... Entries>
struct TypeList {};

// Every type the module registers, in registration order, and its role.
using BoundTypes = TypeList<Bound<VELACloudWrapper, Role::kRegistered>,
                            Bound<VELACloudDelegate, Role::kDelegate>,
                            Bound<VelaString, Role::kRegistered>,
                            Bound<RoomParams, Role::kRegistered>,
                            Bound<EnterRoomParams, Role::kRegistered>,
                            Bound<AudioEncodeParams, Role::kRegistered>,
                            Bound<VideoEncodeParams, Role::kRegistered>,
                            Bound<NetworkQualityInfo, Role::kCopied>,
                            Bound<UserInfo, Role::kCopied>,
                            Bound<AudioObtainParams, Role::kRegistered>,
                            Bound<VADParams, Role::kRegistered>,
                            Bound<AudioFrame, Role::kCopied>,
                            Bound<VideoFrame, Role::kCopied>,
                            Bound<PixelFrame, Role::kCopied>,
                            Bound<Error, Role::kCopied>,
                            Bound<VideoCodecType, Role::kRegistered>,
                            Bound<AudioCodecType, Role::kRegistered>,
                            Bound<VELARole, Role::kRegistered>,
                            Bound<VELAScene, Role::kRegistered>,
                            Bound<StreamType, Role::kCopied>,
                            Bound<AudioObtainMethod, Role::kRegistered>,
                            Bound<NetworkQuality, Role::kRegistered>,
                            Bound<ConnectionState, Role::kCopied>,
                            Bound<VideoRotation, Role::kRegistered>,
                            Bound<VideoPixelFormat, Role::kRegistered>>;

// Calls visit(Bound<T, role>{}) for every entry, in order. The set-up steps
// that walk the list are templates over it, which the module body
// instantiates once every bound type is complete.
template <typename... Entries, typename Visit>
void ForEachBound(TypeList<Entries...>, Visit&& visit) {
  (visit(Entries{}), ...);
}

// Whether the list marks `Type` as handed to callbacks.
template <typename Type, typename List>
constexpr bool kCopiedIn = false;
template <typename Type, typename... Entries>
constexpr bool kCopiedIn<Type, TypeList<Entries...>> =
    ((std::is_same_v<Type, typename Entries::type> && Entries::role == Role::kCopied) || ...);

// pybind11's type information of a registered type; the import fails for a
// type in the list that is not registered.
template <typename Type>
py::detail::type_info* RegisteredTypeInfo() {
  py::detail::type_info* info = py::detail::get_type_info(typeid(Type));
  if (info == nullptr) {
    throw std::logic_error("bound type " + py::type_id<Type>() + " is not registered");
  }
  return info;
}

}  // namespace

// ===========================================================================
// 3. Owned copies handed to callbacks
//
// Problem. Every record, frame and enumeration value a callback hands over
// must be a new Python object owning a copy, so Python may keep it after the
// SDK's own has gone, and every object must give back all it took. Through
// pybind11's generic cast, each copy finds its type information by hashing
// the type's name, searches the table of instances for a live object at the
// copy's new address and enters itself there; its deallocation finds the
// type information again; and every copy is a new value (for a frame: the
// value, its payload store and its payload buffer).
// Design. OwnedValue lays the instance out as pybind11 does for the plain
// layout (value pointer and std::unique_ptr holder inside the instance) with
// the type information found once at set-up, and does not enter it in the
// table of instances: that table lets native code that hands out a pointer
// find its Python object, and this private copy's address is known to
// nothing else. The copied types' deallocation (DeallocValue) takes such an
// instance apart with pybind11's steps and keeps the value as a spare, up to
// kSpareValues a type (a frame only while its payload is small), which the
// next copy of that type assigns to: its storage is reused, so a delivered
// frame costs its Python object and no allocation of its own. Any other
// instance (a Python subclass, one with weak references or keep-alive
// patients) goes to pybind11's own deallocation. Shortcuts: instance-layout,
// instance-table.
// Invalidation. The type information lives as long as the interpreter (the
// module runs in the main one only). A spare is overwritten whole by the
// next copy's assignment; nothing of what Python did to its object survives.
// Concurrency. OwnedValue and the deallocation run with the lock held; so do
// the spares. A free-threaded build uses pybind11's cast and deallocation,
// without spares.
// Tests: see instance-layout in the index.
// ===========================================================================

namespace {

// Found once at start-up: pybind11's internals (they live as long as the
// main interpreter, the only one the module runs in) and the type
// information of every type a callback hands to Python.
py::detail::internals* binding_internals = nullptr;  // INTERNALS: instance-table

template <typename Value>
const py::detail::type_info* registered_type = nullptr;

template <typename Value>
bool plain_instances = false;

// pybind11's own deallocation (the same for all its types).
destructor binding_dealloc = nullptr;

// The spares: values their Python objects gave back, still constructed,
// at most kSpareValues a type; a frame only while its payload is at most
// kSparePayloadBytes, so the spares pin little memory.
constexpr size_t kSpareValues = 8;
constexpr size_t kSparePayloadBytes = size_t{64} << 10;

template <typename Value>
struct SpareValues {
  std::array<Value*, kSpareValues> values{};
  size_t count = 0;
};

template <typename Value>
SpareValues<Value> spare_values;

// The frames: values with a payload, whose size() tells how large it is.
template <typename Value, typename = void>
constexpr bool kHasPayload = false;
template <typename Value>
constexpr bool kHasPayload<Value, std::void_t<decltype(std::declval<const Value&>().size())>> = true;

// Takes `value` as a spare when there is room; false leaves it to the caller.
template <typename Value>
bool KeepSpare(Value* value) {
  SpareValues<Value>& spares = spare_values<Value>;
  if constexpr (kHasPayload<Value>) {
    if (value->size() > kSparePayloadBytes) {
      return false;
    }
  }
  if (spares.count == kSpareValues) {
    return false;
  }
  spares.values[spares.count++] = value;
  return true;
}

// A spare value, or null.
template <typename Value>
std::unique_ptr<Value> TakeSpare() {
  SpareValues<Value>& spares = spare_values<Value>;
  if (spares.count == 0) {
    return nullptr;
  }
  return std::unique_ptr<Value>(spares.values[--spares.count]);
}

// An instance of exactly this type is laid out the simple way: one value
// pointer and its exclusive holder inside the instance, no base with an
// offset, no attribute dictionary, no garbage-collector tracking.
bool HasPlainInstances(const py::detail::type_info* info) {
  PyTypeObject* type = info->type;
  // INTERNALS: instance-layout
  return info->holder_enum_v == py::detail::holder_enum_t::std_unique_ptr &&
         info->holder_size_in_ptrs <= py::detail::instance_simple_holder_in_ptrs() && info->simple_ancestors &&
         type->tp_dictoffset == 0 && !PyType_HasFeature(type, Py_TPFLAGS_HAVE_GC) &&
         !PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT);
}

#ifndef Py_GIL_DISABLED
// Removes the registration of `instance` at `value`; false when there was
// none (pybind11's deallocation then fails the same way).
bool Deregister(py::detail::instance* instance, const void* value) {
  // INTERNALS: instance-table
  auto& instances = binding_internals->registered_instances;
  auto range = instances.equal_range(value);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == instance) {
      instances.erase(it);
      return true;
    }
  }
  return false;
}

// Deallocation of the value types' instances. An instance of exactly the
// registered type with the plain layout, no weak references and no
// keep-alive patients is taken apart here with pybind11's steps
// (deregister, the holder's destruction, free), without finding the type
// information and the internals again; any other instance (a Python
// subclass, for one) goes to pybind11's own deallocation.
template <typename Value>
void DeallocValue(PyObject* self) {
  // INTERNALS: instance-layout
  PyTypeObject* type = Py_TYPE(self);
  const py::detail::type_info* info = registered_type<Value>;
  auto* instance = reinterpret_cast<py::detail::instance*>(self);
  if (type != info->type || !instance->simple_layout || instance->weakrefs != nullptr || instance->has_patients) {
    binding_dealloc(self);
    return;
  }
  // What get_value_and_holder gives for an instance of exactly the type.
  py::detail::value_and_holder v_h(instance, info, 0, 0);
  if (v_h) {
    if (v_h.instance_registered() && !Deregister(instance, v_h.value_ptr())) {
      py::pybind11_fail("pybind11_object_dealloc(): Tried to deallocate unregistered instance!");
    }
    if (v_h.holder_constructed()) {
      // The value is kept as a spare, or the holder frees it. The SDK's
      // destructors never call into Python, so pybind11's guard of the
      // error indicator around them is not needed here.
      auto& holder = v_h.holder<std::unique_ptr<Value>>();
      if (holder && KeepSpare<Value>(holder.get())) {
        (void)holder.release();
      }
      holder.~unique_ptr<Value>();
      v_h.set_holder_constructed(false);
    } else if (instance->owned) {
      info->dealloc(v_h);
    }
  } else if (v_h.holder_constructed()) {
    info->dealloc(v_h);
  }
  type->tp_free(self);
  Py_DECREF(type);
}
#endif  // Py_GIL_DISABLED

// After registration: the type information of the types the binding reads
// at callback time (the delegate and the copied types).
template <typename List>
void RememberRegisteredTypes() {
  binding_internals = &py::detail::get_internals();
  ForEachBound(List{}, [](auto bound) {
    using Type = typename decltype(bound)::type;
    if constexpr (decltype(bound)::role != Role::kRegistered) {
      registered_type<Type> = RegisteredTypeInfo<Type>();
    }
  });
}

// Gives the copied types whose instances have the plain layout the short
// deallocation, which OwnedValue's instances need (they are not in the
// table of instances). Types held otherwise keep pybind11's own.
template <typename List>
void TakeOverDeallocation() {
#ifndef Py_GIL_DISABLED
  ForEachBound(List{}, [](auto bound) {
    using Type = typename decltype(bound)::type;
    if constexpr (decltype(bound)::role == Role::kCopied) {
      const py::detail::type_info* info = registered_type<Type>;
      if (!HasPlainInstances(info) || info->type->tp_dealloc == nullptr) {
        return;
      }
      if (binding_dealloc == nullptr) {
        binding_dealloc = info->type->tp_dealloc;
      }
      if (info->type->tp_dealloc == binding_dealloc) {
        plain_instances<Type> = true;
        info->type->tp_dealloc = &DeallocValue<Type>;
      }
    }
  });
#endif
}

// A new Python object owning `source` (moved or copied into a new value).
template <typename Value, typename Source>
py::object OwnedValue(Source&& source) {
  static_assert(kCopiedIn<Value, BoundTypes>, "callbacks hand over only the types BoundTypes marks kCopied");
  if (!plain_instances<Value>) {
    auto value = std::make_unique<Value>(std::forward<Source>(source));
    // pybind11's generic cast of a pointer it takes over. The base caster,
    // not make_caster: the enumeration caster of pybind11 3.0 copies what
    // a pointer points to (leaving the pointer to the caller) or, in
    // 3.0.0, does not take a pointer at all.
    py::handle object = py::detail::type_caster_base<Value>::cast(value.get(), py::return_value_policy::take_ownership,
                                                                 py::handle());
    if (!object) {
      throw py::error_already_set();
    }
    value.release();
    return py::reinterpret_steal<py::object>(object);
  }
  std::unique_ptr<Value> value = TakeSpare<Value>();
  if (value) {
    *value = std::forward<Source>(source);
  } else {
    value = std::make_unique<Value>(std::forward<Source>(source));
  }
  const py::detail::type_info* info = registered_type<Value>;
  PyObject* object = info->type->tp_alloc(info->type, 0);
  if (object == nullptr) {
    throw py::error_already_set();
  }
  auto result = py::reinterpret_steal<py::object>(object);
  // INTERNALS: instance-layout. pybind11's instance set-up for the plain
  // layout: the value pointer and the holder built in place. The instance is not entered in the table of
  // instances by address: that table lets native code that hands out a
  // pointer find the Python object that owns it, and the address of this
  // private copy is known to nothing but its Python object (pybind11's
  // deallocation skips an instance that was never entered).
  auto* instance = reinterpret_cast<py::detail::instance*>(object);
  instance->simple_layout = true;
  instance->simple_value_holder[0] = value.get();
  instance->simple_holder_constructed = false;
  instance->simple_instance_registered = false;
  instance->owned = true;
  py::detail::value_and_holder v_h(instance, info, 0, 0);  // as get_value_and_holder gives it
  new (std::addressof(v_h.holder<std::unique_ptr<Value>>())) std::unique_ptr<Value>(std::move(value));
  v_h.set_holder_constructed();
  return result;
}

}  // namespace

// ===========================================================================
// 4. Instances that were never constructed
//
// Problem. Three ways reach a native object that was never built. copyreg's
// reducer for pickle protocols 0 and 1 instantiates pybind11's common base,
// whose constructor then ends the process with a native exception. An
// instance made without __init__ (cls.__new__(cls), copy or pickle of a
// subclass with its own __setstate__) has no value, and pybind11 hands its
// methods freshly allocated, never constructed memory. And such a delegate
// handed to VELACloud would be called back by the SDK.
// Design. The common base's constructor slot refuses the base itself with a
// TypeError and passes every other class on (protocols 2 and later behave
// as before). Every bound type's operator new, which pybind11 uses only to
// load an unconstructed instance, raises a TypeError naming the class
// (constructors build their value themselves). VELACloud's holder caster
// (concern 16) refuses a delegate whose holder was never constructed.
// Shortcuts: common-base, operator-new, holder-caster.
// Invalidation: none; set once at import, before any instance exists.
// Concurrency: set with the lock held at set-up; read by pybind11 under the
// lock.
// Tests: test_reliability.py: test_pickle_protocols_0_and_1_raise_instead_of_aborting;
// test_callback_boundaries.py: test_instances_made_without_init_raise_type_error.
// ===========================================================================

namespace {

// The common base's constructor, guarded: copyreg's reducer instantiates
// the nearest base class that has its own __new__, which for every class of
// this module is pybind11's common base. Python's __new__ checks that a class and the base whose __new__ it calls
// share one constructor slot, so the guard goes into the slot of the base
// and of every class already derived from it (classes made later inherit
// it); pickling with protocols 2 and later behaves exactly as before.
newfunc binding_base_new = nullptr;
PyTypeObject* binding_base_type = nullptr;

PyObject* GuardedBindingBaseNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (type == binding_base_type) {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
    return nullptr;
  }
  return binding_base_new(type, args, kwargs);
}

void GuardConstructorSlots(PyTypeObject* type) {
  if (type->tp_new == binding_base_new) {
    type->tp_new = &GuardedBindingBaseNew;
  }
  py::list subclasses = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(type)).attr("__subclasses__")();
  for (py::handle subclass : subclasses) {
    GuardConstructorSlots(reinterpret_cast<PyTypeObject*>(subclass.ptr()));
  }
}

void GuardBindingBaseConstructor() {
  // INTERNALS: common-base
  auto* base = reinterpret_cast<PyTypeObject*>(py::detail::get_internals().instance_base);
  binding_base_type = base;
  binding_base_new = base->tp_new;
  GuardConstructorSlots(base);
}

// The Python name of a bound type, for the refusals below.
std::string ClassName(const std::type_info& type) {
  const py::detail::type_info* info = py::detail::get_type_info(type);
  if (info == nullptr) {
    return "object";
  }
  return py::handle(reinterpret_cast<PyObject*>(info->type)).attr("__qualname__").cast<std::string>();
}

// A type's operator new, which pybind11 calls only to load an instance
// made without __init__.
template <typename Value>
void* RefuseUnconstructedValue(size_t) {
  const std::string name = ClassName(typeid(Value));
  throw py::type_error(name + " object is not initialized: " + name + ".__init__() was not called");
}

template <typename List>
void RefuseUnconstructedInstances() {
  ForEachBound(List{}, [](auto bound) {
    using Type = typename decltype(bound)::type;
    RegisteredTypeInfo<Type>()->operator_new = &RefuseUnconstructedValue<Type>;  // INTERNALS: operator-new
  });
}

// A delegate is taken by VELACloud through its shared holder, which
// pybind11 loads without allocating: an instance made without __init__
// has none, and is refused with the same TypeError as any other use of it.
void RefuseUnconstructedDelegate(py::handle source) {
  const py::detail::type_info* info = registered_type<VELACloudDelegate>;
  if (info == nullptr || !PyObject_TypeCheck(source.ptr(), info->type)) {
    return;
  }
  // INTERNALS: holder-caster
  auto* instance = reinterpret_cast<py::detail::instance*>(source.ptr());
  py::detail::value_and_holder v_h = instance->get_value_and_holder(info, /*throw_if_missing=*/false);
  if (v_h.inst != nullptr && !v_h.holder_constructed()) {
    RefuseUnconstructedValue<VELACloudDelegate>(0);
  }
}

}  // namespace

// ===========================================================================
// 5. The interpreter gate (interpreter exit)
//
// Problem. SDK threads call back while the interpreter exits. A thread that
// creates, attaches or deletes a thread state while the interpreter is torn
// down crashes the process: programs that exit with media in flight did.
// Design. Every callback from an SDK thread passes the gate before it touches
// Python. An atexit handler (CloseInterpreterGate, concern 8) closes it and
// waits, with the lock released, up to kExitDrainLimit for the callbacks
// already inside; from then on callbacks are dropped before they touch
// Python.
// Invalidation. Closed once, for good; a forked child starts with an empty
// count (concern 9).
// Concurrency. Two atomics, sequentially consistent: entering counts the
// thread in before it looks at the gate, and closing shuts the gate before it
// looks at the count, so either the entering thread sees the gate shut and
// backs out, or the closing thread sees it inside and waits for it.
// Tests: test_reliability.py: test_exit_with_calls_in_flight_quick,
// test_exit_with_calls_in_flight_keeps_its_status;
// test_callback_boundaries.py: test_exit_while_callbacks_raise.
// ===========================================================================

namespace {

// How long interpreter exit waits for callbacks already in Python.
constexpr std::chrono::milliseconds kExitDrainLimit{1000};

class InterpreterGate {
 public:
  static InterpreterGate& Instance() {
    // Never destroyed: SDK threads may still consult it after the
    // process's static destructors have run.
    static auto* gate = new InterpreterGate();
    return *gate;
  }

  bool Enter() {
    inside_.fetch_add(1);
    if (closed_.load()) {
      inside_.fetch_sub(1);
      return false;
    }
    return true;
  }

  void Leave() { inside_.fetch_sub(1); }

  // Runs `action` only while the gate is open, counted as inside, so that
  // closing waits for it; tells whether it ran.
  template <typename Action>
  bool WhileOpen(Action&& action) {
    if (!Enter()) {
      return false;
    }
    action();
    Leave();
    return true;
  }

  // Shuts the gate and waits up to `limit` for the callbacks inside.
  // Returns the number still inside when the wait ended. Runs once, at
  // exit, so a short sleep between looks is good enough.
  // In a forked child: the callbacks counted in belong to threads that
  // only the parent has.
  void ResetInChild() { inside_.store(0); }

  int CloseAndDrain(std::chrono::milliseconds limit) {
    closed_.store(true);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (inside_.load() != 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return inside_.load();
  }

 private:
  std::atomic<int> inside_{0};
  std::atomic<bool> closed_{false};
};

// ===========================================================================
// 6. Thread states of SDK threads
//
// Problem. A callback on an SDK thread needs a Python thread state. Making
// one for every callback and deleting it after costs most of a callback
// (about ten times the rest), and gives each callback a new threading.local
// and current_thread().
// Design (the default build). Each SDK thread gets one thread state on its
// first callback and keeps it, detached between callbacks, until the thread
// ends; the callback attaches it directly (concern 8). A thread that already
// has a state of its own (made by other code through the PyGILState
// functions) keeps using that one, through pybind11's scoped acquisition.
// Python code in a callback may make a scoped acquisition of its own, whose
// release must not delete the kept state, so the state carries its holder's
// count. A thread that ends must not wait for the lock (an SDK may join its
// threads while the binding holds it, inside Destroy), so its state goes to
// the retired list, from which the next thread holding the lock clears and
// deletes it. Shortcut: thread-state-fields.
// The build option LUMORA_KEEP_THREAD_STATES=OFF gives every callback a
// fresh thread state instead, through pybind11's scoped acquisition, for an
// SDK whose threads end without running the C++ thread-exit handlers
// (scripts/run_fresh_state_tests.sh tests that build).
// Invalidation. A state lives until its thread ends, then until the next
// callback or exit deletes it. Once the interpreter has started to exit
// (the gate is closed) states are abandoned: the interpreter clears what is
// left on its list, and no SDK thread touches a state again.
// Concurrency. The retired list has its own mutex, taken by an ending
// thread without the lock and by the deleting thread before it deletes with
// the lock; an atomic flag spares every other callback the mutex. fork()
// holds the mutex (concern 9).
// Tests: the whole suite in both builds; test_reliability.py:
// test_native_thread_that_called_back_is_joined_under_the_lock,
// test_thread_local_state_across_callbacks_of_one_sdk_thread.
// ===========================================================================

#ifdef LUMORA_KEEP_THREAD_STATES
// INTERNALS: thread-state-fields. The holder's count: releasing the lock
// never deletes the state.
void CountHolderOfKeptState(PyThreadState* state) { state->gilstate_counter = 1; }

// INTERNALS: thread-state-fields. The state is bound to its thread's own
// slot for the PyGILState functions, which ends with the thread; unbound,
// another thread may delete it without clearing that thread's own slot.
void UnbindFromEndingThread(PyThreadState* state) { state->_status.bound_gilstate = 0; }

class RetiredThreadStates {
 public:
  static RetiredThreadStates& Instance() {
    static auto* list = new RetiredThreadStates();
    return *list;
  }

  void Add(PyThreadState* state) {
    std::lock_guard<std::mutex> lock(mutex_);
    states_.push_back(state);
    pending_.store(true, std::memory_order_release);
  }

  void LockForFork() { mutex_.lock(); }
  void UnlockAfterFork() { mutex_.unlock(); }

  // In a forked child: the interpreter already deleted these states.
  void ForgetInChild() {
    states_.clear();
    pending_.store(false);
  }

  // With the interpreter lock held.
  void DeleteAll() {
    if (!pending_.load(std::memory_order_acquire)) {
      return;
    }
    std::vector<PyThreadState*> states;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      states.swap(states_);
      pending_.store(false, std::memory_order_release);
    }
    for (PyThreadState* state : states) {
      PyThreadState_Clear(state);
      PyThreadState_Delete(state);
    }
  }

 private:
  std::mutex mutex_;
  std::vector<PyThreadState*> states_;
  std::atomic<bool> pending_{false};
};

class KeptThreadState {
 public:
  KeptThreadState() = default;
  KeptThreadState(const KeptThreadState&) = delete;
  KeptThreadState& operator=(const KeptThreadState&) = delete;

  // Makes the thread's state on first use, without the lock. The scoped
  // acquisition that follows finds it as this thread's state. A thread that
  // already has a state of its own (made by other code through the
  // PyGILState functions) keeps using that one.
  //
  // Returns the thread's kept state, which the callback attaches directly,
  // or null for a thread with a state of its own, which the scoped
  // acquisition finds.
  PyThreadState* Ensure() {
    if (state_ == nullptr && PyGILState_GetThisThreadState() == nullptr) {
      state_ = PyThreadState_New(PyInterpreterState_Main());
      // Python code in the callback may make a scoped acquisition of its
      // own, whose release must not delete the state.
      CountHolderOfKeptState(state_);
    }
    return state_;
  }

  // Thread exit: never takes the interpreter lock.
  ~KeptThreadState() {
    if (state_ == nullptr) {
      return;
    }
    PyThreadState* state = state_;
    state_ = nullptr;
    InterpreterGate::Instance().WhileOpen([state] {
      UnbindFromEndingThread(state);
      RetiredThreadStates::Instance().Add(state);
    });
  }

 private:
  PyThreadState* state_ = nullptr;
};

thread_local KeptThreadState kept_thread_state;
#endif  // LUMORA_KEEP_THREAD_STATES

// ===========================================================================
// 7. Who made a callback, and errors the program must see
//
// Problem. What may leave a callback depends on who made it, and the SDK must
// never receive a Python object it would destroy on a thread without the
// lock.
// Design. A callback reaches the trampoline in one of three ways:
// - from an SDK thread, which took the lock for the callback (kSdkThread);
// - from the SDK synchronously inside an operation that Python code called
//   on this thread (kSdkOperation): the operations count themselves in
//   sdk_operation_depth;
// - from Python itself, a direct call of a delegate method (kPython): the
//   thread holds the lock and is not inside an operation.
// Only a direct call from Python may pass a Python exception on as it is.
// Towards the SDK, a Python error leaves as a std::runtime_error that carries
// its text and nothing else (concern 13). Three errors raised in a callback
// made inside an operation are also kept for the thread and raised again
// when the operation returns to Python (RaisePendingError), because the
// program must see them: KeyboardInterrupt and SystemExit, so that Ctrl-C and
// sys.exit work in synchronous callbacks too, and RecursionError, so that a
// callback that calls the operation that calls it back, without end, ends in
// an exception the program sees instead of one the SDK swallows at each
// level.
// Invalidation. A kept error waits until its operation returns; the first
// one wins.
// Concurrency. All of it is per thread (thread_local).
// Tests: test_callback_boundaries.py:
// test_interruptions_in_a_synchronous_callback_reach_the_program,
// test_deep_synchronous_reentry_raises_recursion_error; test_delegate.py:
// test_unguarded_errors_on_sdk_threads_are_caught_by_sdk.
// ===========================================================================

enum class Caller { kSdkThread, kSdkOperation, kPython };

// Operations of this thread currently inside the SDK. Reset to 0 while a
// callback's Python code runs, so that a direct call made from there counts
// as one.
thread_local int sdk_operation_depth = 0;

// An error that a synchronous callback raised and the program must see,
// waiting for its operation to return (a new reference, or null).
thread_local PyObject* pending_error = nullptr;

bool MustReachTheProgram(const py::error_already_set& error) {
  return error.matches(PyExc_KeyboardInterrupt) || error.matches(PyExc_SystemExit) ||
         error.matches(PyExc_RecursionError);
}

// With the lock held: keeps the error for the operation's return. The first
// one wins; a later one while it waits is dropped.
void KeepForTheProgram(py::error_already_set& error) {
  error.restore();
  PyObject* raised = PyErr_GetRaisedException();
  if (pending_error == nullptr) {
    pending_error = raised;
  } else {
    Py_XDECREF(raised);
  }
}

// With the lock held, as an operation returns to Python.
void RaisePendingError() {
  if (pending_error != nullptr) {
    PyObject* raised = pending_error;
    pending_error = nullptr;
    PyErr_SetRaisedException(raised);
    throw py::error_already_set();
  }
}

// Counts an SDK call of this thread for as long as it runs.
class SdkOperation {
 public:
  SdkOperation() { ++sdk_operation_depth; }
  ~SdkOperation() { --sdk_operation_depth; }
  SdkOperation(const SdkOperation&) = delete;
  SdkOperation& operator=(const SdkOperation&) = delete;
};

// ===========================================================================
// 8. Entering Python
//
// Problem. Every callback must hold the lock while it runs Python, and get it
// without a deadlock or a thread state the interpreter no longer has.
// Design. Every callback enters Python through a CallbackScope. A thread that
// already holds the lock (the SDK calling back synchronously inside an
// operation Python made, or Python calling a delegate method) re-enters at
// once. Any other thread passes the gate (concern 5), then attaches its kept
// state (concern 6), or takes the lock with pybind11's scoped acquisition
// (a thread with a state of its own, or the fresh-state build). A scope that
// found the gate shut holds nothing and says so: the callback is dropped.
// The atexit handler closes the gate and deletes the retired states while
// the interpreter still can.
// Invalidation: none beyond the gate's.
// Concurrency. The scope lives on the callback's own stack; the lock orders
// the rest.
// Tests: see concerns 5 and 6.
// ===========================================================================

class CallbackScope {
 public:
  CallbackScope() {
    if (PyThreadState_GetUnchecked() != nullptr) {
      // This thread holds the lock: a synchronous callback re-enters, or
      // Python calls a delegate method directly.
      caller_ = sdk_operation_depth > 0 ? Caller::kSdkOperation : Caller::kPython;
      saved_depth_ = sdk_operation_depth;
      sdk_operation_depth = 0;
      lock_.emplace();
      return;
    }
    if (!InterpreterGate::Instance().Enter()) {
      return;
    }
    gated_ = true;
#ifdef LUMORA_KEEP_THREAD_STATES
    // The thread's own kept state is attached directly: the scoped
    // acquisition would only find the same state again, at the cost of
    // looking up the binding layer's internals on every callback.
    attached_ = kept_thread_state.Ensure();
    if (attached_ != nullptr) {
      PyEval_RestoreThread(attached_);
    } else {
      lock_.emplace();
    }
    RetiredThreadStates::Instance().DeleteAll();
#else
    lock_.emplace();
#endif
  }

  ~CallbackScope() {
    if (attached_ != nullptr) {
      PyEval_SaveThread();
    }
    lock_.reset();
    if (gated_) {
      InterpreterGate::Instance().Leave();
    } else {
      sdk_operation_depth = saved_depth_;
    }
  }

  CallbackScope(const CallbackScope&) = delete;
  CallbackScope& operator=(const CallbackScope&) = delete;

  // False when the callback must be dropped: the interpreter is exiting.
  explicit operator bool() const { return lock_.has_value() || attached_ != nullptr; }

  Caller caller() const { return caller_; }

 private:
  std::optional<py::gil_scoped_acquire> lock_;
  PyThreadState* attached_ = nullptr;  // a kept state attached directly
  bool gated_ = false;
  Caller caller_ = Caller::kSdkThread;
  int saved_depth_ = 0;
};

// The atexit handler: closes the gate, lets the callbacks inside finish,
// and deletes the retired thread states while the interpreter can.
void CloseInterpreterGate() {
  {
    py::gil_scoped_release release;
    InterpreterGate::Instance().CloseAndDrain(kExitDrainLimit);
  }
#ifdef LUMORA_KEEP_THREAD_STATES
  RetiredThreadStates::Instance().DeleteAll();
#endif
}

// ===========================================================================
// 9. A forked child
//
// Problem. A child made by fork() inherits the gate's count and the retired
// thread states of threads that only the parent has, and possibly the
// retired list's mutex held by one of them.
// Design. A child starts with an empty gate and an empty retired list (the
// interpreter discarded those states along with every other thread's). The
// list's mutex is held across fork(), so that the child never inherits it
// locked by a thread that does not exist there.
// Invalidation: the handlers reset the child once, at the fork.
// Concurrency. pthread_atfork runs the handlers on the forking thread, with
// the lock held by the Python code that forks.
// Tests: test_callback_boundaries.py: test_fork_child_starts_without_the_parents_callbacks.
// ===========================================================================

void BeforeFork() {
#ifdef LUMORA_KEEP_THREAD_STATES
  RetiredThreadStates::Instance().LockForFork();
#endif
}

void AfterForkInParent() {
#ifdef LUMORA_KEEP_THREAD_STATES
  RetiredThreadStates::Instance().UnlockAfterFork();
#endif
}

void AfterForkInChild() {
  InterpreterGate::Instance().ResetInChild();
#ifdef LUMORA_KEEP_THREAD_STATES
  RetiredThreadStates::Instance().UnlockAfterFork();
  RetiredThreadStates::Instance().ForgetInChild();
#endif
}

}  // namespace

// ===========================================================================
// 10. The callbacks (the one list of them)
//
// Problem. The SDK base's operations, the names Python sees, the retired
// stand-in's no-op overrides (concern 11) and what the lookup keeps per name
// (concern 14) must agree.
// Design. One list, in the SDK base's order of virtual operations: the name
// Python sees, the SDK's operation, its parameter types. RetiredDelegate
// and the callback names derive from it; the trampoline's overrides and
// their registration are written out, as each has its own conversion,
// policy and place in the registration order (a missing override is a
// compile error: the SDK base's operations are pure).
// Invalidation. The interned names and the base's methods are made once at
// set-up and kept for the process's life.
// Concurrency. Written at set-up; each name's class lookup (concern 14) is
// read and written with the lock held.
// ===========================================================================

namespace {

// What a class holds under a callback's name, where that alone decides what
// getattr finds on an instance that has no attribute of that name itself:
// a Python function (found bound to the instance), or the delegate base's
// own method (found bound to the instance: not redefined). Anything else is
// left to getattr itself.
enum class ClassEntry { kOther, kPythonFunction, kBaseMethod };

// The last class looked at for one callback name, and what it held then.
struct ClassLookup {
  PyTypeObject* type = nullptr;
  unsigned int version = 0;
  ClassEntry entry = ClassEntry::kOther;
  PyObject* function = nullptr;  // kPythonFunction: borrowed from the class
};

// A callback's name, and what the lookup (FindOverride) keeps about it.
struct CallbackName {
  const char* text;
  PyObject* object = nullptr;         // interned at start-up
  PyObject* base_method = nullptr;    // the delegate base's class dictionary entry
  PyObject* base_function = nullptr;  // the function that entry binds to an instance
  ClassLookup class_lookup;           // with the lock held
};

// The callbacks: the name Python sees, the SDK's operation, its parameter types.
#define LUMORA_DELEGATE_CALLBACKS(X)                                                                  \
  X(OnError, OnError, (Error))                                                                        \
  X(OnConnectionStateChanged, OnConnectionStateChanged, (ConnectionState, ConnectionState))           \
  X(OnEnterRoom, OnEnterRoom, ())                                                                     \
  X(OnExitRoom, OnExitRoom, ())                                                                       \
  X(OnLocalAudioChannelCreated, OnLocalAudioChannelCreated, ())                                       \
  X(OnLocalAudioChannelDestroyed, OnLocalAudioChannelDestroyed, ())                                   \
  X(OnLocalVideoChannelCreated, OnLocalVideoChannelCreated, (StreamType))                             \
  X(OnLocalVideoChannelDestroyed, OnLocalVideoChannelDestroyed, (StreamType))                         \
  X(OnRequestChangeVideoEncodeBitrate, OnRequestChangeVideoEncodeBitrate, (StreamType, int))          \
  X(OnRequestKeyFrame, OnRequestKeyFrame, (StreamType))                                               \
  X(OnRemoteUserEnterRoom, OnRemoteUserEnterRoom, (const UserInfo&))                                  \
  X(OnRemoteUserExitRoom, OnRemoteUserExitRoom, (const UserInfo&, int))                               \
  X(OnRemoteAudioAvailable, OnRemoteAudioAvailable, (const char*, bool))                              \
  X(OnRemoteVideoAvailable, OnRemoteVideoAvailable, (const char*, bool, StreamType))                  \
  X(OnRemoteVideoFrameReceived, OnRemoteVideoReceived, (const char*, StreamType, const VideoFrame&))  \
  X(OnRemotePixelFrameReceived, OnRemoteVideoReceived, (const char*, StreamType, const PixelFrame&))  \
  X(OnRemoteAudioReceived, OnRemoteAudioReceived, (const char*, const AudioFrame&))                   \
  X(OnRemoteMixedAudioReceived, OnRemoteMixedAudioReceived, (const AudioFrame&))                      \
  X(OnSeiMessageReceived, OnSeiMessageReceived, (const char*, StreamType, int, const char*, size_t))  \
  X(OnReceiveCustomCmdMsg, OnReceiveCustomCmdMsg, (const char*, int32_t, uint32_t, const char*, size_t)) \
  X(OnMissCustomCmdMsg, OnMissCustomCmdMsg, (const char*, int32_t, uint32_t, uint32_t))               \
  X(OnNetworkQuality, OnNetworkQuality, (NetworkQualityInfo*, NetworkQualityInfo*, size_t))

enum class Callback {
#define LUMORA_CALLBACK_ENUMERATOR(python_name, operation, parameters) python_name,
  LUMORA_DELEGATE_CALLBACKS(LUMORA_CALLBACK_ENUMERATOR)
#undef LUMORA_CALLBACK_ENUMERATOR
};

CallbackName callback_names[] = {
#define LUMORA_CALLBACK_NAME(python_name, operation, parameters) {#python_name, nullptr, nullptr, nullptr, {}},
    LUMORA_DELEGATE_CALLBACKS(LUMORA_CALLBACK_NAME)
#undef LUMORA_CALLBACK_NAME
};

CallbackName& NameOf(Callback callback) { return callback_names[static_cast<size_t>(callback)]; }

// At set-up, after the delegate class is registered: the interned names and
// the base's own methods, kept for the process's whole life.
void RememberCallbackNames() {
  auto* base = reinterpret_cast<PyObject*>(registered_type<VELACloudDelegate>->type);
  py::object methods = py::reinterpret_borrow<py::object>(base).attr("__dict__");
  for (CallbackName& name : callback_names) {
    name.object = PyUnicode_InternFromString(name.text);
    if (name.object == nullptr) {
      throw py::error_already_set();
    }
    py::object method = methods[py::handle(name.object)];
    if (!PyInstanceMethod_Check(method.ptr())) {
      throw std::logic_error(std::string("VELACloudDelegate.") + name.text + " is not a method");
    }
    name.base_method = method.release().ptr();
    name.base_function = PyInstanceMethod_GET_FUNCTION(name.base_method);
  }
}

}  // namespace

// ===========================================================================
// 11. Delegates that were given to a cloud
//
// Problem. The SDK holds a delegate's address from Create on, and a callback
// it started before Destroy may still be waiting for the interpreter lock
// inside the trampoline when the delegate is freed. If that memory went back
// to the heap, the waiting callback would read freed memory, and the lookup
// by address could find a new delegate living there and deliver the event to
// it. And a callback that waited for the lock while the last cloud holding
// its delegate was destroyed must not reach Python code that already deleted
// that cloud.
// Design. A trampoline that was ever given to a cloud never returns its
// memory: when it is deleted, a RetiredDelegate, whose callbacks do nothing,
// is built in its place and its address is recorded as retired. A late
// callback that arrives there is dropped without reaching Python, and one
// already inside the trampoline finds no Python object, sees the address
// retired and returns quietly instead of reporting a missing method. The
// cost is the trampoline's own few bytes plus one set entry per delegate
// ever given to a cloud; delegates never given to a cloud are freed as
// usual. Each delegate also counts the clouds that hold it; a callback from
// an SDK thread that finds the count 0 once it holds the lock is dropped.
// Invalidation. An address stays retired for the process's life.
// Concurrency. The registry has its own mutex (taken when a cloud is made,
// when a trampoline is freed, and by a callback that found no Python
// object). The count is atomic, changed with the lock held (before Create,
// after Destroy) and read by a callback once it holds the lock.
// Tests: test_reliability.py: test_late_callbacks_of_a_dropped_cloud_are_dropped_quietly,
// test_late_callbacks_stress, test_delegate_reused_after_its_cloud_keeps_receiving;
// test_callback_boundaries.py: test_no_callback_reaches_a_kept_delegate_after_del_cloud,
// test_no_callback_after_del_cloud_stress.
// ===========================================================================

namespace {

// What the trampoline and its retired stand-in share at the same place: the
// number of clouds that currently hold the delegate. Wrappers change it
// with the interpreter lock held (before Create, after Destroy), and a
// callback from an SDK thread reads it once it holds the lock, so a callback
// that was waiting for the lock while the last cloud was destroyed sees 0
// and is dropped. A retired delegate always reads 0.
class AttachableDelegate : public VELACloudDelegate {
 public:
  std::atomic<int> attached_clouds{0};
};

class RetiredDelegate final : public AttachableDelegate {
 public:
#define LUMORA_RETIRED_OVERRIDE(python_name, operation, parameters) void operation parameters override {}
  LUMORA_DELEGATE_CALLBACKS(LUMORA_RETIRED_OVERRIDE)
#undef LUMORA_RETIRED_OVERRIDE
};

class DelegateRegistry {
 public:
  static DelegateRegistry& Instance() {
    static auto* registry = new DelegateRegistry();
    return *registry;
  }

  void Attach(const void* delegate) {
    std::lock_guard<std::mutex> lock(mutex_);
    attached_.insert(delegate);
  }

  // Called as a trampoline's memory is released; true when it was given
  // to a cloud and is now retired instead.
  bool Retire(const void* delegate) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (attached_.erase(delegate) == 0) {
      return false;
    }
    retired_.insert(delegate);
    return true;
  }

  bool IsRetired(const void* delegate) {
    std::lock_guard<std::mutex> lock(mutex_);
    return retired_.count(delegate) != 0;
  }

 private:
  std::mutex mutex_;
  std::unordered_set<const void*> attached_;
  std::unordered_set<const void*> retired_;
};

}  // namespace

// ===========================================================================
// 12. Arguments handed to Python
//
// Problem. Every argument of a callback becomes a Python object, on every
// frame: the user id, the frame or record, the enumeration values.
// Design. Records, frames and enumeration values become new instances that
// own a copy (concern 3), also when the reference points at an object Python
// already has (a direct call from Python passes the caller's own object).
// Texts are decoded as strict UTF-8, a null text becomes None. The texts of
// callbacks are user ids, a few of them repeated on every frame, so the str
// of a short text is kept in a small table (TextsSeen) and handed out again
// instead of being decoded anew: a str cannot change, so sharing one is
// invisible to Python code.
// Invalidation. A table slot holds the last text that hashed to it; a text
// that differs in any byte is decoded and takes the slot. The strs are kept
// for the process's life (at most kSlots of them).
// Concurrency. The table is used with the lock held; a free-threaded build
// decodes every text.
// Tests: test_delegate.py: test_injected_conversions,
// test_each_delivery_gets_its_own_values_whatever_came_before.
// ===========================================================================

namespace {

py::object Checked(PyObject* object) {
  if (object == nullptr) {
    throw py::error_already_set();
  }
  return py::reinterpret_steal<py::object>(object);
}

// The str of a text the SDK hands over (strict UTF-8), from the table when
// the text was seen last in its slot.
class TextsSeen {
 public:
  static py::object Get(const char* text) {
    const size_t size = std::strlen(text);
#ifndef Py_GIL_DISABLED
    if (size <= kLongest) {
      Slot& slot = slots_[SlotOf(text, size)];
      if (slot.str == nullptr || slot.size != size || std::memcmp(slot.bytes, text, size) != 0) {
        py::object str = Decode(text, size);
        Py_XSETREF(slot.str, str.inc_ref().ptr());
        std::memcpy(slot.bytes, text, size);
        slot.size = size;
        return str;
      }
      return py::reinterpret_borrow<py::object>(slot.str);
    }
#endif
    return Decode(text, size);
  }

 private:
  static constexpr size_t kLongest = 48;
  static constexpr int kSlotBits = 6;
  static constexpr size_t kSlots = size_t{1} << kSlotBits;

  struct Slot {
    PyObject* str;  // kept for the process's life; null while the slot is empty
    size_t size;
    char bytes[kLongest];
  };

  // A hash of the length and of the first and last eight bytes: user ids
  // of one application differ in those, and a clash only costs a decode.
  static size_t SlotOf(const char* text, size_t size) {
    uint64_t head = 0;
    uint64_t tail = 0;
    if (size >= 8) {
      std::memcpy(&head, text, 8);
      std::memcpy(&tail, text + size - 8, 8);
    } else {
      std::memcpy(&head, text, size);
    }
    const uint64_t mixed = (head * 0x9E3779B97F4A7C15u) ^ (tail * 0xC2B2AE3D27D4EB4Fu) ^ size;
    return static_cast<size_t>(((mixed ^ (mixed >> 29)) * 0x94D049BB133111EBu) >> (64 - kSlotBits));
  }

  static py::object Decode(const char* text, size_t size) {
    return Checked(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(size), nullptr));
  }

  static inline Slot slots_[kSlots] = {};
};

py::object ToPython(const char* text) {
  if (text == nullptr) {
    return py::none();
  }
  return TextsSeen::Get(text);
}
py::object ToPython(bool value) { return py::bool_(value); }
py::object ToPython(int value) { return Checked(PyLong_FromLong(value)); }
py::object ToPython(unsigned int value) { return Checked(PyLong_FromUnsignedLong(value)); }
py::object ToPython(const UserInfo& value) { return OwnedValue<UserInfo>(value); }
py::object ToPython(const AudioFrame& value) { return OwnedValue<AudioFrame>(value); }
py::object ToPython(const VideoFrame& value) { return OwnedValue<VideoFrame>(value); }
py::object ToPython(const PixelFrame& value) { return OwnedValue<PixelFrame>(value); }

template <typename Enum, std::enable_if_t<std::is_enum_v<Enum>, int> = 0>
py::object ToPython(Enum value) {
  return OwnedValue<Enum>(value);
}

// Converts in parameter order (a braced list is evaluated left to right).
template <typename... Args>
std::array<py::object, sizeof...(Args)> ToPythonAll(const Args&... args) {
  return {{ToPython(args)...}};
}

}  // namespace

// ===========================================================================
// 13. The text of a Python error
//
// Problem. A Python error must leave a callback towards the SDK as text, and
// a guarded callback writes it to standard error; forming it must not fail
// or recurse when the error was the stack running out.
// Design. The exception's type name and message, then the innermost frames,
// as "  file(line): function" lines, read from the traceback and code
// objects directly. It is formed once, without calling itself: when reading
// the message fails (for one, because the stack is nearly used up and every
// further call raises RecursionError), the message falls back to the
// exception's single text argument or to a placeholder, and the second
// error is dropped. At most kErrorTextFrames frames are listed. Shortcut:
// traceback-fields.
// Invalidation, concurrency: none; formed with the lock held.
// Tests: see traceback-fields in the index.
// ===========================================================================

namespace {

constexpr int kErrorTextFrames = 32;

// Appends a str's UTF-8 form; false (with no error set) when it has none.
bool AppendUtf8(std::string& text, PyObject* str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_Check(str) ? PyUnicode_AsUTF8AndSize(str, &size) : nullptr;
  if (data == nullptr) {
    PyErr_Clear();
    return false;
  }
  text.append(data, static_cast<size_t>(size));
  return true;
}

void AppendMessage(std::string& text, PyObject* value) {
  std::string message;
  PyObject* str = PyObject_Str(value);
  if (str != nullptr) {
    AppendUtf8(message, str);
    Py_DECREF(str);
  } else {
    PyErr_Clear();
    PyObject* args = PyExceptionInstance_Check(value) ? PyException_GetArgs(value) : nullptr;
    if (args != nullptr && PyTuple_GET_SIZE(args) == 1 && PyUnicode_CheckExact(PyTuple_GET_ITEM(args, 0))) {
      AppendUtf8(message, PyTuple_GET_ITEM(args, 0));
    } else {
      message = "<message unavailable>";
    }
    Py_XDECREF(args);
  }
  if (!message.empty()) {
    text += ": ";
    text += message;
  }
}

void AppendFrames(std::string& text, PyObject* trace) {
  if (trace == nullptr || !PyTraceBack_Check(trace)) {
    return;
  }
  // INTERNALS: traceback-fields
  auto* innermost = reinterpret_cast<PyTracebackObject*>(trace);
  while (innermost->tb_next != nullptr) {
    innermost = innermost->tb_next;
  }
  text += "\n\nAt:\n";
  PyFrameObject* frame = innermost->tb_frame;
  Py_XINCREF(frame);
  for (int listed = 0; frame != nullptr; ++listed) {
    if (listed == kErrorTextFrames) {
      text += "  ...\n";
      Py_DECREF(frame);
      break;
    }
    PyCodeObject* code = PyFrame_GetCode(frame);
    text += "  ";
    if (!AppendUtf8(text, code->co_filename)) {
      text += "?";
    }
    text += "(" + std::to_string(PyFrame_GetLineNumber(frame)) + "): ";
    if (!AppendUtf8(text, code->co_name)) {
      text += "?";
    }
    text += "\n";
    Py_DECREF(code);
    PyFrameObject* back = PyFrame_GetBack(frame);
    Py_DECREF(frame);
    frame = back;
  }
}

// With the lock held.
std::string ErrorText(const py::error_already_set& error) {
  PyObject* type = error.type().ptr();
  std::string text = type != nullptr && PyType_Check(type) ? reinterpret_cast<PyTypeObject*>(type)->tp_name
                                                          : "unknown error";
  if (error.value()) {
    AppendMessage(text, error.value().ptr());
  }
  AppendFrames(text, error.trace().ptr());
  return text;
}

}  // namespace

// ===========================================================================
// 14. Finding and calling the Python method
//
// Problem. A callback must call what Python code calling delegate.name(...)
// would call at that moment, on every path (SDK thread, inside an operation,
// direct call), however the class or the instance was patched, and without
// paying for a full attribute lookup and a bound method on every frame.
// Design. The rule, the same for every callback and every caller: a callback
// calls what getattr(delegate, name) gives at the moment of the call, with
// the callback's arguments: a method of the class, a function or any other
// callable set on the class or on the instance (a builtin, a staticmethod,
// what a property returns), found through the class's own __getattribute__
// or __getattr__ if it has one. An error raised by the lookup itself (a
// property that raises) is the callback's error. The one answer that is not
// called is the delegate base's own method bound to this same delegate: the
// method is not redefined (a class that does not define it, a definition
// deleted again, or an instance attribute set to the base's method), and
// calling it would only come back here. So it is missing: a required
// callback raises its missing-method error, an optional one does nothing,
// and the next call looks again. One more case is missing: a direct call
// from Python made inside the Python method of the same name with the same
// object as its first argument (super().OnEnterRoom() in OnEnterRoom), which
// means the base's method and would otherwise call itself again; callbacks
// the SDK makes, also synchronously inside an operation that such a method
// called, always reach the method.
// The delegate's Python object is found in pybind11's table of instances; for
// a class with the ordinary attribute lookup, what the class holds under the
// name is remembered with the class's version tag, and a Python function of
// the class is called directly with the delegate first, after one look into
// the instance's own attributes. pybind11's own lookup (get_override, with
// its record of pairs of type and name found not redefined, which it never
// forgets) is not used at all. Shortcuts: instance-table,
// type-version-lookup, call-down-frame.
// Invalidation. What a class holds is used only while its version tag is the
// one it was read with (CPython renews the tag on every change of the class
// or of a base, and never reuses one); nothing about one instance affects
// another.
// Concurrency. With the lock held; one remembered class per callback name.
// Tests: see type-version-lookup and call-down-frame in the index.
// ===========================================================================

namespace {

// The Python object that owns the native delegate at `address`, or none.
py::handle RegisteredDelegate(const void* address) {
  const py::detail::type_info* base = registered_type<VELACloudDelegate>;
  if (base == nullptr) {
    return py::handle();
  }
#ifndef Py_GIL_DISABLED
  // INTERNALS: instance-table
  auto range = binding_internals->registered_instances.equal_range(address);
  for (auto it = range.first; it != range.second; ++it) {
    if (PyType_IsSubtype(Py_TYPE(it->second), base->type)) {
      return reinterpret_cast<PyObject*>(it->second);
    }
  }
  return py::handle();
#else
  return py::detail::get_object_handle(address, base);
#endif
}

// With the lock held. `base_method` is what the delegate base's own class
// dictionary holds under `name`. The answer stays in `last`, with the
// class's function for kPythonFunction, valid while the class is unchanged.
ClassEntry LookUpInClass(PyTypeObject* type, PyObject* name, PyObject* base_method, ClassLookup& last) {
#ifndef Py_GIL_DISABLED
  // INTERNALS: type-version-lookup
  if (last.type == type && last.version == type->tp_version_tag && last.version != 0) {
    return last.entry;
  }
  ClassEntry entry = ClassEntry::kOther;
  PyObject* found = nullptr;
  if (type->tp_getattro == PyObject_GenericGetAttr) {
    found = _PyType_Lookup(type, name);  // borrowed, from the type's method cache; sets the version tag
    if (found != nullptr && found == base_method) {
      entry = ClassEntry::kBaseMethod;
    } else if (found != nullptr && PyFunction_Check(found)) {
      entry = ClassEntry::kPythonFunction;
    }
  }
  last = ClassLookup{type, type->tp_version_tag, entry, entry == ClassEntry::kPythonFunction ? found : nullptr};
  return entry;
#else
  (void)type, (void)name, (void)base_method, (void)last;
  return ClassEntry::kOther;
#endif
}

// Whether the instance's own attributes hold `name`; with the ordinary
// attribute lookup they come before a function the class holds.
bool HasOwnAttribute(PyObject* self, PyObject* name) {
  PyTypeObject* type = Py_TYPE(self);
  if (type->tp_dictoffset == 0 && !PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) {
    return false;
  }
  PyObject* dict = PyObject_GenericGetDict(self, nullptr);
  if (dict == nullptr) {
    throw py::error_already_set();
  }
  const int found = PyDict_Contains(dict, name);
  Py_DECREF(dict);
  if (found < 0) {
    throw py::error_already_set();
  }
  return found != 0;
}

// The answer of a lookup: nothing (missing), a function of the class to
// call with the delegate first, or a callable to call as it is.
class Override {
 public:
  Override() = default;
  Override(py::object function, py::object self) : function_(std::move(function)), self_(std::move(self)) {}
  explicit Override(py::object callable) : function_(std::move(callable)) {}

  explicit operator bool() const { return static_cast<bool>(function_); }

  // Calls with the arguments given; the result is dropped. A Python error
  // leaves as error_already_set.
  template <size_t N>
  void Call(const std::array<py::object, N>& args) const {
    // stack[0] is free for PY_VECTORCALL_ARGUMENTS_OFFSET; stack[1] is the
    // delegate when the function is the class's.
    PyObject* stack[N + 2];
    stack[0] = nullptr;
    stack[1] = self_.ptr();
    for (size_t i = 0; i < N; ++i) {
      stack[i + 2] = args[i].ptr();
    }
    PyObject* result =
        self_ ? PyObject_Vectorcall(function_.ptr(), stack + 1, (N + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)
              : PyObject_Vectorcall(function_.ptr(), stack + 2, N | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (result == nullptr) {
      throw py::error_already_set();
    }
    Py_DECREF(result);
  }

 private:
  py::object function_;
  py::object self_;
};

// A direct call from Python made by the Python method of the same name on
// the same delegate, which calls down to the base. Only the calling frame
// can tell: that Python method may itself have been called by Python code,
// not through the binding, so no record the binding keeps of the methods it
// called would know it is running.
bool CallsDownToBase(PyObject* self, const CallbackName& name) {
  // INTERNALS: call-down-frame
  PyFrameObject* frame = PyEval_GetFrame();  // borrowed
  if (frame == nullptr) {
    return false;
  }
  auto code = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
  auto* code_object = reinterpret_cast<PyCodeObject*>(code.ptr());
  if (code_object->co_argcount == 0 || PyUnicode_Compare(code_object->co_name, name.object) != 0) {
    return false;
  }
  auto names = py::reinterpret_steal<py::object>(PyCode_GetVarnames(code_object));
  if (!names) {
    throw py::error_already_set();
  }
  PyObject* first = PyFrame_GetVar(frame, PyTuple_GET_ITEM(names.ptr(), 0));
  if (first == nullptr) {
    PyErr_Clear();  // unbound (deleted) first argument
    return false;
  }
  Py_DECREF(first);
  return first == self;
}

// The delegate base's own method bound to `self`.
bool IsBaseMethodOf(PyObject* found, PyObject* self, const CallbackName& name) {
  return PyMethod_Check(found) && PyMethod_GET_SELF(found) == self &&
         PyMethod_GET_FUNCTION(found) == name.base_function;
}

// With the lock held. `self` is the delegate's Python object.
Override FindOverride(const py::object& self, CallbackName& name, Caller caller) {
  if (caller == Caller::kPython && CallsDownToBase(self.ptr(), name)) {
    return Override();
  }
  const ClassEntry entry = LookUpInClass(Py_TYPE(self.ptr()), name.object, name.base_method, name.class_lookup);
  if (entry != ClassEntry::kOther) {
    // Held before anything else can run Python code (a collection while
    // the instance's dictionary is made) and change the class.
    auto function = py::reinterpret_borrow<py::object>(name.class_lookup.function);
    if (!HasOwnAttribute(self.ptr(), name.object)) {
      return entry == ClassEntry::kBaseMethod ? Override() : Override(std::move(function), self);
    }
  }
  PyObject* found = PyObject_GetAttr(self.ptr(), name.object);
  if (found == nullptr) {
    throw py::error_already_set();
  }
  auto callable = py::reinterpret_steal<py::object>(found);
  if (IsBaseMethodOf(found, self.ptr(), name)) {
    return Override();
  }
  return Override(std::move(callable));
}

}  // namespace

// ===========================================================================
// 15. The trampoline
//
// Problem. The SDK calls a C++ delegate; Python code subclasses
// VELACloudDelegate. Each SDK callback must become one Python call, with the
// right policy for a missing method and for errors.
// Design. PyVELACloudDelegate overrides every operation and enters Python
// through a CallbackScope (concern 8). The 18 required callbacks raise the
// missing-method error when Python does not redefine them;
// OnMissCustomCmdMsg is optional; the three guarded callbacks
// (OnSeiMessageReceived, OnReceiveCustomCmdMsg, OnNetworkQuality) never let
// an error reach the SDK and report it on the process's standard error
// instead. Callbacks that find the interpreter exiting, or that arrive late
// for a delegate already released (concern 11), are dropped.
// Invalidation. The helpers know the delegate only by its address: a late
// callback may still be running here after the trampoline was replaced by a
// RetiredDelegate.
// Concurrency. Any SDK thread, any time; everything past the scope runs with
// the lock held, and what leaves towards the SDK is formed before the lock
// is released.
// Tests: test_delegate.py; test_callback_boundaries.py.
// ===========================================================================

class PyVELACloudDelegate : public AttachableDelegate {
 public:
  ~PyVELACloudDelegate() override = default;

  // The memory of a trampoline given to a cloud is kept for a
  // RetiredDelegate (see DelegateRegistry).
  static void* operator new(size_t size) { return ::operator new(size); }
  static void operator delete(void* memory) {
    static_assert(sizeof(RetiredDelegate) <= sizeof(PyVELACloudDelegate) &&
                      alignof(RetiredDelegate) <= alignof(PyVELACloudDelegate),
                  "a retired delegate fits where the trampoline was");
    if (DelegateRegistry::Instance().Retire(memory)) {
      new (memory) RetiredDelegate();
      return;
    }
    ::operator delete(memory);
  }

  void OnError(Error error) override { CallRequired(this, Callback::OnError, error); }

  void OnConnectionStateChanged(ConnectionState old_state, ConnectionState new_state) override {
    CallRequired(this, Callback::OnConnectionStateChanged, old_state, new_state);
  }

  void OnEnterRoom() override { CallRequired(this, Callback::OnEnterRoom); }

  void OnExitRoom() override { CallRequired(this, Callback::OnExitRoom); }

  void OnLocalAudioChannelCreated() override { CallRequired(this, Callback::OnLocalAudioChannelCreated); }

  void OnLocalAudioChannelDestroyed() override { CallRequired(this, Callback::OnLocalAudioChannelDestroyed); }

  void OnLocalVideoChannelCreated(StreamType stream_type) override {
    CallRequired(this, Callback::OnLocalVideoChannelCreated, stream_type);
  }

  void OnLocalVideoChannelDestroyed(StreamType stream_type) override {
    CallRequired(this, Callback::OnLocalVideoChannelDestroyed, stream_type);
  }

  void OnRequestChangeVideoEncodeBitrate(StreamType stream_type, int bitrate_bps) override {
    CallRequired(this, Callback::OnRequestChangeVideoEncodeBitrate, stream_type, bitrate_bps);
  }

  void OnRequestKeyFrame(StreamType stream_type) override { CallRequired(this, Callback::OnRequestKeyFrame, stream_type); }

  // Records and frames passed by reference reach Python as copies that
  // Python owns, so a method may keep them after it returns.
  void OnRemoteUserEnterRoom(const UserInfo& info) override { CallRequired(this, Callback::OnRemoteUserEnterRoom, info); }

  void OnRemoteUserExitRoom(const UserInfo& info, int reason) override {
    CallRequired(this, Callback::OnRemoteUserExitRoom, info, reason);
  }

  void OnRemoteAudioAvailable(const char* user_id, bool available) override {
    CallRequired(this, Callback::OnRemoteAudioAvailable, user_id, available);
  }

  void OnRemoteVideoAvailable(const char* user_id, bool available, StreamType type) override {
    CallRequired(this, Callback::OnRemoteVideoAvailable, user_id, available, type);
  }

  // The two overloads of OnRemoteVideoReceived reach Python under two names.
  void OnRemoteVideoReceived(const char* user_id, StreamType type, const VideoFrame& frame) override {
    CallRequired(this, Callback::OnRemoteVideoFrameReceived, user_id, type, frame);
  }

  void OnRemoteVideoReceived(const char* user_id, StreamType type, const PixelFrame& frame) override {
    CallRequired(this, Callback::OnRemotePixelFrameReceived, user_id, type, frame);
  }

  void OnRemoteAudioReceived(const char* user_id, const AudioFrame& frame) override {
    CallRequired(this, Callback::OnRemoteAudioReceived, user_id, frame);
  }

  void OnRemoteMixedAudioReceived(const AudioFrame& frame) override {
    CallRequired(this, Callback::OnRemoteMixedAudioReceived, frame);
  }

  void OnSeiMessageReceived(const char* user_id, StreamType stream_type, int message_type, const char* message,
                            size_t length) override {
    CallGuarded(this, Callback::OnSeiMessageReceived, [&](const Override& override) {
      py::bytes payload(message, length);
      override.Call(std::array<py::object, 4>{
          {ToPython(user_id), ToPython(stream_type), ToPython(message_type), std::move(payload)}});
    });
  }

  void OnReceiveCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t seq, const char* message,
                             size_t length) override {
    CallGuarded(this, Callback::OnReceiveCustomCmdMsg, [&](const Override& override) {
      py::bytes payload(message, length);
      override.Call(
          std::array<py::object, 4>{{ToPython(user_id), ToPython(cmd_id), ToPython(seq), std::move(payload)}});
    });
  }

  // Optional: a missing Python method is not an error; errors still leave.
  void OnMissCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t error_code, uint32_t missed) override {
    CallPython(this, Callback::OnMissCustomCmdMsg, user_id, cmd_id, error_code, missed);
  }

  void OnNetworkQuality(NetworkQualityInfo* local_quality, NetworkQualityInfo* remote_qualities,
                        size_t remote_quality_count) override {
    CallGuarded(this, Callback::OnNetworkQuality, [&](const Override& override) {
      // Without a local record Python still gets one: the SDK's default.
      py::object local = local_quality != nullptr ? OwnedValue<NetworkQualityInfo>(*local_quality)
                                                  : OwnedValue<NetworkQualityInfo>(NetworkQualityInfo());
      py::list remote;
      for (size_t i = 0; i < remote_quality_count; ++i) {
        remote.append(OwnedValue<NetworkQualityInfo>(remote_qualities[i]));
      }
      override.Call(std::array<py::object, 2>{{std::move(local), std::move(remote)}});
    });
  }

 private:
  enum class Lookup { kCalled, kMissing, kDropped };

  // The helpers below are static and know the delegate only by its address:
  // a late callback may still be running here after the trampoline was
  // replaced by a RetiredDelegate, so nothing may use it as an object of
  // this class any more.
  // A callback from an SDK thread for a delegate that no cloud holds any
  // more: it was under way when the last cloud was destroyed.
  static bool ArrivesLate(const void* self, const CallbackScope& scope) {
    return scope.caller() == Caller::kSdkThread &&
           static_cast<const AttachableDelegate*>(self)->attached_clouds.load(std::memory_order_acquire) == 0;
  }

  // With the lock held: the text a Python error carries to the SDK. An
  // error the program must see, raised inside an operation, is kept for the
  // operation's return.
  static std::string TextForSdk(py::error_already_set& error, const CallbackScope& scope) {
    std::string text = ErrorText(error);
    if (scope.caller() == Caller::kSdkOperation && MustReachTheProgram(error)) {
      KeepForTheProgram(error);
    }
    return text;
  }

  // The delegate's Python object, or none for a callback that was under way
  // when its cloud was destroyed (the trampoline is retired) or for a
  // native delegate that no Python object owns.
  static py::object PythonObjectOf(const void* self) {
    return py::reinterpret_borrow<py::object>(RegisteredDelegate(self));
  }

  // Looks up the Python method and calls it with the converted arguments.
  // A Python error of the lookup, the conversion or the call reaches a
  // direct caller from Python unchanged and the SDK as a std::runtime_error,
  // raised once the interpreter lock has been released; no Python object
  // leaves this scope towards the SDK.
  template <typename... Args>
  static Lookup CallPython(const void* self, Callback callback, const Args&... args) {
    std::string failure;
    {
      CallbackScope scope;
      if (!scope || ArrivesLate(self, scope)) {
        return Lookup::kDropped;
      }
      py::object delegate = PythonObjectOf(self);
      if (!delegate) {
        return DelegateRegistry::Instance().IsRetired(self) ? Lookup::kDropped : Lookup::kMissing;
      }
      try {
        Override override = FindOverride(delegate, NameOf(callback), scope.caller());
        if (!override) {
          return Lookup::kMissing;
        }
        override.Call(ToPythonAll(args...));
        return Lookup::kCalled;
      } catch (py::error_already_set& error) {
        if (scope.caller() == Caller::kPython) {
          throw;
        }
        failure = TextForSdk(error, scope);
      }
    }
    throw std::runtime_error(failure);
  }

  // A required callback: when Python does not redefine the method, the
  // missing-method error is raised once the lock has been released. It is
  // thrown directly rather than through pybind11_fail, whose debug-build
  // check reads the Python error indicator and so must not run on an SDK
  // thread that no longer holds the lock.
  template <typename... Args>
  static void CallRequired(const void* self, Callback callback, const Args&... args) {
    if (CallPython(self, callback, args...) == Lookup::kMissing) {
      throw std::runtime_error(std::string("Tried to call pure virtual function \"VELACloudDelegate::") +
                               NameOf(callback).text + "\"");
    }
  }

  // The guarded procedure: look up, build the arguments and call, all
  // inside one protected region. Errors are written to the process's own
  // standard error (not Python's sys.stderr) and cleared, and the SDK thread
  // carries on as if the call had succeeded. An error the program must see
  // (MustReachTheProgram) on a thread of the Python program is not
  // reported: it reaches a direct caller at once, and the program when the
  // operation that made the callback returns.
  template <typename Invoke>
  static void CallGuarded(const void* self, Callback callback, Invoke&& invoke) {
    const char* method = NameOf(callback).text;
    CallbackScope scope;
    if (!scope || ArrivesLate(self, scope)) {
      return;
    }
    try {
      py::object delegate = PythonObjectOf(self);
      if (!delegate) {
        return;
      }
      Override override = FindOverride(delegate, NameOf(callback), scope.caller());
      if (override) {
        invoke(override);
      }
    } catch (py::error_already_set& error) {
      if (scope.caller() != Caller::kSdkThread && MustReachTheProgram(error)) {
        if (scope.caller() == Caller::kPython) {
          throw;
        }
        KeepForTheProgram(error);
        return;
      }
      ReportCallbackError(method, error);
    } catch (...) {
      ReportUnknownCallbackError();
    }
  }

  static void ReportCallbackError(const char* method, const py::error_already_set& error) {
    std::cerr << "python callback " << method << " error: " << ErrorText(error) << std::endl;
    PyErr_Clear();
  }

  static void ReportUnknownCallbackError() { std::cerr << "unknown error" << std::endl; }
};

// ===========================================================================
// 16. The cloud
//
// Problem. A cloud's delegate must outlive the cloud, callbacks made inside
// an operation must know they are, and an SDK that failed to create a cloud
// must not be called through a null pointer.
// Design. VELACloudWrapper owns one SDK cloud and shares its delegate. The
// Python object keeps the delegate's Python object alive (keep-alive on the
// constructor), so the delegate outlives the cloud: the destructor destroys
// the cloud, then releases its share of the delegate, and only after that
// does pybind11 drop the keep-alive reference. Every SDK call goes through
// InSdk, which counts it as an operation of this thread (concern 7) and
// raises what a callback made inside it kept for the program. Shortcut:
// holder-caster.
// Invalidation. After Destroy no SDK thread reaches the delegate through this
// cloud; a callback still waiting for the lock is dropped once no cloud
// holds the delegate (concern 11).
// Concurrency. Methods run with the lock held, as Python calls them; the SDK
// may call back on this thread inside them.
// Tests: test_cloud.py; test_reliability.py.
// ===========================================================================

namespace {

// Calls the SDK, counted as an operation of this thread, and raises a
// KeyboardInterrupt, SystemExit or RecursionError that a callback made inside it raised.
template <typename Call>
decltype(auto) InSdk(VELACloud& target, Call&& call) {
  SdkOperation operation;
  if constexpr (std::is_void_v<decltype(call(target))>) {
    call(target);
    RaisePendingError();
  } else {
    decltype(auto) result = call(target);
    RaisePendingError();
    return result;
  }
}

}  // namespace

class VELACloudWrapper {
 public:
  explicit VELACloudWrapper(std::shared_ptr<PyVELACloudDelegate> delegate) : delegate_(std::move(delegate)) {
    if (delegate_) {
      DelegateRegistry::Instance().Attach(delegate_.get());
      delegate_->attached_clouds.fetch_add(1, std::memory_order_acq_rel);
    }
    SdkOperation operation;
    vela_cloud_ = VELACloud::Create(delegate_.get());
  }

  // After Destroy no SDK thread reaches the delegate through this cloud; a
  // callback still waiting for the lock is dropped once no cloud holds the
  // delegate (AttachableDelegate).
  ~VELACloudWrapper() {
    if (vela_cloud_ != nullptr) {
      SdkOperation operation;
      VELACloud::Destroy(vela_cloud_);
      vela_cloud_ = nullptr;
    }
    if (delegate_) {
      delegate_->attached_clouds.fetch_sub(1, std::memory_order_acq_rel);
    }
  }

  VELACloudWrapper(const VELACloudWrapper&) = delete;
  VELACloudWrapper& operator=(const VELACloudWrapper&) = delete;
  VELACloudWrapper(VELACloudWrapper&&) = delete;
  VELACloudWrapper& operator=(VELACloudWrapper&&) = delete;

  int EnterRoom(const EnterRoomParams& params) { return InSdk(cloud(), [&](VELACloud& c) { return c.EnterRoom(params); }); }
  int ExitRoom() { return InSdk(cloud(), [&](VELACloud& c) { return c.ExitRoom(); }); }
  int Subscribe(const std::string& user_id, StreamType type) { return InSdk(cloud(), [&](VELACloud& c) { return c.Subscribe(user_id.c_str(), type); }); }
  int Unsubscribe(const std::string& user_id, StreamType type) {
    return InSdk(cloud(), [&](VELACloud& c) { return c.Unsubscribe(user_id.c_str(), type); });
  }
  int GetAudioFrame(AudioFrame* frame) { return InSdk(cloud(), [&](VELACloud& c) { return c.GetAudioFrame(frame); }); }

  int CreateLocalAudioChannel(const AudioEncodeParams& params) { return InSdk(cloud(), [&](VELACloud& c) { return c.CreateLocalAudioChannel(params); }); }
  int DestroyLocalAudioChannel() { return InSdk(cloud(), [&](VELACloud& c) { return c.DestroyLocalAudioChannel(); }); }
  int SendAudioFrame(const AudioFrame& frame) { return InSdk(cloud(), [&](VELACloud& c) { return c.SendAudioFrame(frame); }); }
  int SendContinuousAudioFrame(const AudioFrame& frame, bool clear_send_queue) {
    return InSdk(cloud(), [&](VELACloud& c) { return c.SendContinuousAudioFrame(frame, clear_send_queue); });
  }

  int CreateLocalVideoChannel(StreamType type) { return InSdk(cloud(), [&](VELACloud& c) { return c.CreateLocalVideoChannel(type); }); }
  int DestroyLocalVideoChannel(StreamType type) { return InSdk(cloud(), [&](VELACloud& c) { return c.DestroyLocalVideoChannel(type); }); }
  int SendVideoFrame(StreamType type, const VideoFrame& frame) { return InSdk(cloud(), [&](VELACloud& c) { return c.SendVideoFrame(type, frame); }); }
  int SendPixelFrame(StreamType type, const PixelFrame& frame) { return InSdk(cloud(), [&](VELACloud& c) { return c.SendVideoFrame(type, frame); }); }
  void SetVideoEncodeParam(StreamType type, const VideoEncodeParams& param) {
    InSdk(cloud(), [&](VELACloud& c) { c.SetVideoEncodeParam(type, param); });
  }

  // Message payloads go to the SDK as a pointer into the bytes object's own
  // storage; the length comes from the object, so zero bytes are kept.
  int SendSeiMessage(int message_type, py::bytes message) {
    char* ptr = nullptr;
    Py_ssize_t length = 0;
    if (PyBytes_AsStringAndSize(message.ptr(), &ptr, &length) != 0) {
      PyErr_Print();
      return -1;
    }
    return InSdk(cloud(), [&](VELACloud& c) { return c.SendSeiMessage(message_type, ptr, static_cast<size_t>(length)); });
  }

  // cmd_id travels as the same 32 bits, which the SDK reads as unsigned.
  int SendCustomCmdMsg(int32_t cmd_id, py::bytes message, bool reliable, bool ordered) {
    char* ptr = nullptr;
    Py_ssize_t length = 0;
    if (PyBytes_AsStringAndSize(message.ptr(), &ptr, &length) != 0) {
      PyErr_Print();
      return -1;
    }
    const bool sent = InSdk(cloud(), [&](VELACloud& c) {
      return c.SendCustomCmdMsg(static_cast<uint32_t>(cmd_id), ptr, static_cast<size_t>(length), reliable, ordered);
    });
    return sent ? 1 : 0;
  }

  void EnableVoiceActivityDetection(const VADParams& params) { InSdk(cloud(), [&](VELACloud& c) { c.EnableVoiceActivityDetection(params); }); }

 private:
  // An SDK that failed to create a cloud gets a Python error on use instead
  // of a call through a null pointer.
  VELACloud& cloud() const {
    if (vela_cloud_ == nullptr) {
      throw std::runtime_error("the SDK did not create a cloud (VELACloud::Create returned null)");
    }
    return *vela_cloud_;
  }

  VELACloud* vela_cloud_ = nullptr;
  std::shared_ptr<PyVELACloudDelegate> delegate_;
};

// INTERNALS: holder-caster. VELACloud takes its delegate through the
// delegate's shared holder. One made without __init__ has none, and is
// refused with the TypeError that every other use of it raises
// (RefuseUnconstructedDelegate).
namespace pybind11::detail {
template <>
class type_caster<std::shared_ptr<PyVELACloudDelegate>>
    : public copyable_holder_caster<PyVELACloudDelegate, std::shared_ptr<PyVELACloudDelegate>> {
 public:
  bool load(handle source, bool convert) {
    RefuseUnconstructedDelegate(source);
    return copyable_holder_caster::load(source, convert);
  }
};
}  // namespace pybind11::detail

// ===========================================================================
// 17. Values taken from Python
//
// Problem. Payloads and texts come from Python as bytes, str or None, and a
// count Python passes with a text must not let the SDK read past it.
// Design. A frame's payload crosses once in each direction: SetData hands
// the SDK a pointer into the bytes object's own storage (the SDK copies what
// it keeps), and reading `data` makes one copy into a new bytes object.
// SizedText converts exactly like pybind11's caster for `const char*` (str
// as UTF-8, bytes and bytearray as they are, None as a null pointer) and
// keeps the byte length, so that a count beyond it is refused with a
// ValueError before the call. Utf8Text, the text of a VelaString, refuses a
// str without a UTF-8 form (a lone surrogate) with a TypeError that says so,
// instead of the overload mismatch the plain conversion reports.
// Invalidation, concurrency: none; used during one call, with the lock held.
// Tests: test_delegate.py: test_direct_call_counts_are_checked;
// test_vela_string.py; test_frames.py.
// ===========================================================================

template <typename Frame>
py::bytes GetFrameData(const Frame& frame) {
  if (frame.size() == 0) {
    return py::bytes();
  }
  const size_t size = frame.size();
  const uint8_t* data = frame.data();
  return py::bytes(reinterpret_cast<const char*>(data), size);
}

template <typename Frame>
size_t GetFrameSize(const Frame& frame) {
  return frame.size();
}

template <typename Frame, void (Frame::*Method)(const uint8_t*, size_t)>
void SetFrameData(Frame& frame, py::bytes payload) {
  char* ptr = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(payload.ptr(), &ptr, &size) != 0) {
    throw py::error_already_set();
  }
  (frame.*Method)(reinterpret_cast<const uint8_t*>(ptr), static_cast<size_t>(size));
}

struct SizedText {
  const char* data = nullptr;
  size_t size = 0;
};

namespace pybind11 {
namespace detail {
template <>
struct type_caster<SizedText> {
  PYBIND11_TYPE_CASTER(SizedText, const_name("str"));

  bool load(handle src, bool convert) {
    if (src.is_none()) {
      // As for `const char*`: None is a null pointer, accepted only when
      // conversions are allowed.
      if (!convert) {
        return false;
      }
      value = SizedText{};
      return true;
    }
    if (!text_.load(src, convert)) {
      return false;
    }
    const std::string& text = text_;
    value = SizedText{text.c_str(), text.size()};
    return true;
  }

 private:
  make_caster<std::string> text_;
};
}  // namespace detail
}  // namespace pybind11

namespace {

void CheckPayloadLength(const char* method, const SizedText& message, size_t length) {
  if (length > message.size) {
    throw py::value_error(std::string(method) + ": length " + std::to_string(length) + " exceeds the " +
                          std::to_string(message.size) + " bytes of the message");
  }
}

}  // namespace

namespace {

// The text a VelaString is built or set from: a str as UTF-8, bytes or a
// bytearray as they are, None for a null text. It shows as "str" in
// signatures.
struct Utf8Text {
  std::optional<std::string> bytes;
  const char* c_str() const { return bytes ? bytes->c_str() : nullptr; }
};

}  // namespace

namespace pybind11::detail {
template <>
struct type_caster<Utf8Text> {
  PYBIND11_TYPE_CASTER(Utf8Text, const_name("str"));
  bool load(handle source, bool) {
    if (source.is_none()) {
      value.bytes.reset();
      return true;
    }
    if (PyBytes_Check(source.ptr())) {
      value.bytes.emplace(PyBytes_AS_STRING(source.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(source.ptr())));
      return true;
    }
    if (PyByteArray_Check(source.ptr())) {
      value.bytes.emplace(PyByteArray_AS_STRING(source.ptr()),
                          static_cast<size_t>(PyByteArray_GET_SIZE(source.ptr())));
      return true;
    }
    if (!PyUnicode_Check(source.ptr())) {
      return false;
    }
    Py_ssize_t length = 0;
    const char* data = PyUnicode_AsUTF8AndSize(source.ptr(), &length);
    if (data == nullptr) {
      const std::string reason = error_already_set().what();
      throw type_error("VelaString text must be encodable as UTF-8: " + reason);
    }
    value.bytes.emplace(data, static_cast<size_t>(length));
    return true;
  }
};
}  // namespace pybind11::detail

// ===========================================================================
// 18. Registration
//
// Problem. The module registers exactly the SDK's names, in a fixed order:
// a signature names a type by its Python name only when that type is
// registered before the function (VELACloud's methods, registered first,
// name their records by their C++ names).
// Design. One function per group, in the module's order (concern 19):
// the cloud, the delegate, VelaString, the records, the frames, the
// enumerations, the settings functions. Records register their fields in the
// order Python code sees them, which is not always their declaration order;
// each setter carries its field's name, so a value that does not convert
// fails with "room_id(): incompatible function arguments ..." and the
// signature it wanted, instead of an anonymous "()".
// Invalidation, concurrency: none; run once at import, with the lock held.
// Tests: test_module.py; test_records.py; test_enums.py; test_settings.py.
// ===========================================================================

namespace {

void RegisterCloud(py::module_& m) {
  py::class_<VELACloudWrapper>(m, "VELACloud")
      .def(py::init<std::shared_ptr<PyVELACloudDelegate>>(), py::keep_alive<1, 2>())
      .def("EnterRoom", &VELACloudWrapper::EnterRoom, py::arg("params"))
      .def("ExitRoom", &VELACloudWrapper::ExitRoom)
      .def("Subscribe", &VELACloudWrapper::Subscribe, py::arg("user_id"), py::arg("type"))
      .def("Unsubscribe", &VELACloudWrapper::Unsubscribe, py::arg("user_id"), py::arg("type"))
      .def("GetAudioFrame", &VELACloudWrapper::GetAudioFrame, py::arg("frame"))
      .def("CreateLocalAudioChannel", &VELACloudWrapper::CreateLocalAudioChannel, py::arg("params"))
      .def("DestroyLocalAudioChannel", &VELACloudWrapper::DestroyLocalAudioChannel)
      .def("SendAudioFrame", &VELACloudWrapper::SendAudioFrame, py::arg("frame"))
      .def("SendContinuousAudioFrame", &VELACloudWrapper::SendContinuousAudioFrame, py::arg("frame"),
           py::arg("clear_send_queue"))
      .def("CreateLocalVideoChannel", &VELACloudWrapper::CreateLocalVideoChannel, py::arg("type"))
      .def("DestroyLocalVideoChannel", &VELACloudWrapper::DestroyLocalVideoChannel, py::arg("type"))
      .def("SendVideoFrame", &VELACloudWrapper::SendVideoFrame, py::arg("type"), py::arg("frame"))
      .def("SendPixelFrame", &VELACloudWrapper::SendPixelFrame, py::arg("type"), py::arg("frame"))
      .def("SetVideoEncodeParam", &VELACloudWrapper::SetVideoEncodeParam, py::arg("type"), py::arg("param"))
      .def("SendSeiMessage", &VELACloudWrapper::SendSeiMessage, py::arg("message_type"), py::arg("message"))
      .def("SendCustomCmdMsg", &VELACloudWrapper::SendCustomCmdMsg, py::arg("cmd_id"), py::arg("message"),
           py::arg("reliable"), py::arg("ordered"))
      .def("EnableVoiceActivityDetection", &VELACloudWrapper::EnableVoiceActivityDetection, py::arg("params"));
}

void RegisterDelegate(py::module_& m) {
  py::class_<VELACloudDelegate, PyVELACloudDelegate, std::shared_ptr<VELACloudDelegate>>(m, "VELACloudDelegate")
      .def(py::init<>())
      .def("OnError", &VELACloudDelegate::OnError)
      .def("OnConnectionStateChanged", &VELACloudDelegate::OnConnectionStateChanged)
      .def("OnEnterRoom", &VELACloudDelegate::OnEnterRoom)
      .def("OnExitRoom", &VELACloudDelegate::OnExitRoom)
      .def("OnLocalAudioChannelCreated", &VELACloudDelegate::OnLocalAudioChannelCreated)
      .def("OnLocalAudioChannelDestroyed", &VELACloudDelegate::OnLocalAudioChannelDestroyed)
      .def("OnLocalVideoChannelCreated", &VELACloudDelegate::OnLocalVideoChannelCreated)
      .def("OnLocalVideoChannelDestroyed", &VELACloudDelegate::OnLocalVideoChannelDestroyed)
      .def("OnRemoteUserEnterRoom", &VELACloudDelegate::OnRemoteUserEnterRoom)
      .def("OnRemoteUserExitRoom", &VELACloudDelegate::OnRemoteUserExitRoom)
      .def("OnRemoteAudioAvailable", &VELACloudDelegate::OnRemoteAudioAvailable)
      .def("OnRemoteVideoAvailable", &VELACloudDelegate::OnRemoteVideoAvailable)
      .def("OnRemoteAudioReceived", &VELACloudDelegate::OnRemoteAudioReceived)
      .def("OnRemoteMixedAudioReceived", &VELACloudDelegate::OnRemoteMixedAudioReceived)
      .def("OnRemoteVideoFrameReceived",
           static_cast<void (VELACloudDelegate::*)(const char*, StreamType, const VideoFrame&)>(
               &VELACloudDelegate::OnRemoteVideoReceived))
      .def("OnRemotePixelFrameReceived",
           static_cast<void (VELACloudDelegate::*)(const char*, StreamType, const PixelFrame&)>(
               &VELACloudDelegate::OnRemoteVideoReceived))
      .def("OnRequestKeyFrame", &VELACloudDelegate::OnRequestKeyFrame)
      .def("OnRequestChangeVideoEncodeBitrate", &VELACloudDelegate::OnRequestChangeVideoEncodeBitrate)
      // The payload methods take a pointer and a count on the native side;
      // a count beyond what the passed object holds is refused before the
      // call, since the callback would read past the object.
      .def("OnSeiMessageReceived",
           [](VELACloudDelegate& self, const char* user_id, StreamType stream_type, int message_type,
              SizedText message, size_t length) {
             CheckPayloadLength("OnSeiMessageReceived", message, length);
             self.OnSeiMessageReceived(user_id, stream_type, message_type, message.data, length);
           })
      .def("OnReceiveCustomCmdMsg",
           [](VELACloudDelegate& self, const char* user_id, int32_t cmd_id, uint32_t seq, SizedText message,
              size_t length) {
             CheckPayloadLength("OnReceiveCustomCmdMsg", message, length);
             self.OnReceiveCustomCmdMsg(user_id, cmd_id, seq, message.data, length);
           })
      .def("OnMissCustomCmdMsg", &VELACloudDelegate::OnMissCustomCmdMsg)
      .def("OnNetworkQuality",
           [](VELACloudDelegate& self, NetworkQualityInfo* local_quality, NetworkQualityInfo* remote_qualities,
              size_t remote_quality_count) {
             const size_t available = remote_qualities != nullptr ? 1 : 0;
             if (remote_quality_count > available) {
               throw py::value_error("OnNetworkQuality: remote_quality_count " +
                                     std::to_string(remote_quality_count) + " exceeds the " +
                                     std::to_string(available) + " record(s) passed");
             }
             self.OnNetworkQuality(local_quality, remote_qualities, remote_quality_count);
           });
}

void RegisterVelaString(py::module_& m) {
  py::class_<VelaString>(m, "VelaString")
      .def(py::init<>())
      .def(py::init([](const Utf8Text& text) { return new VelaString(text.c_str()); }))
      .def("GetValue", &VelaString::GetValue)
      .def("SetValue", [](VelaString& self, const Utf8Text& text) { self.SetValue(text.c_str()); })
      // A null text has no str form: building the native string from it
      // raises, and Python gets that as RuntimeError.
      .def("__str__", [](const VelaString& self) { return std::string(self.GetValue()); })
      .def("__repr__", [](const VelaString& self) { return "VelaString(" + std::string(self.GetValue()) + ")"; });
}

// A read-write field, registered under `name` with a setter that carries it.
template <typename Record, typename Field>
void ReadWrite(py::class_<Record>& cls, const char* name, Field Record::*member) {
  py::cpp_function getter([member](const Record& self) -> const Field& { return self.*member; }, py::is_method(cls));
  py::cpp_function setter([member](Record& self, const Field& value) { self.*member = value; }, py::is_method(cls),
                          py::name(name));
  cls.def_property(name, getter, setter, py::return_value_policy::reference_internal);
}

void RegisterRecords(py::module_& m) {
  {
    py::class_<RoomParams> cls(m, "RoomParams");
    cls.def(py::init<>());
    ReadWrite(cls, "room_id", &RoomParams::room_id);
    ReadWrite(cls, "str_room_id", &RoomParams::str_room_id);
    ReadWrite(cls, "user_id", &RoomParams::user_id);
    ReadWrite(cls, "user_sig", &RoomParams::user_sig);
    ReadWrite(cls, "sdk_app_id", &RoomParams::sdk_app_id);
  }
  {
    py::class_<EnterRoomParams> cls(m, "EnterRoomParams");
    cls.def(py::init<>());
    ReadWrite(cls, "room", &EnterRoomParams::room);
    ReadWrite(cls, "scene", &EnterRoomParams::scene);
    ReadWrite(cls, "role", &EnterRoomParams::role);
    ReadWrite(cls, "private_map_key", &EnterRoomParams::private_map_key);
    ReadWrite(cls, "audio_obtain_params", &EnterRoomParams::audio_obtain_params);
    ReadWrite(cls, "use_pixel_frame_input", &EnterRoomParams::use_pixel_frame_input);
    ReadWrite(cls, "use_pixel_frame_output", &EnterRoomParams::use_pixel_frame_output);
  }
  {
    py::class_<AudioEncodeParams> cls(m, "AudioEncodeParams");
    cls.def(py::init<>());
    ReadWrite(cls, "channels", &AudioEncodeParams::channels);
    ReadWrite(cls, "sample_rate", &AudioEncodeParams::sample_rate);
    ReadWrite(cls, "frame_length_ms", &AudioEncodeParams::frame_length_ms);
    ReadWrite(cls, "bitrate_bps", &AudioEncodeParams::bitrate_bps);
    ReadWrite(cls, "need_encode", &AudioEncodeParams::need_encode);
  }
  {
    py::class_<VideoEncodeParams> cls(m, "VideoEncodeParams");
    cls.def(py::init<>());
    ReadWrite(cls, "frame_rate", &VideoEncodeParams::frame_rate);
    ReadWrite(cls, "bitrate_bps", &VideoEncodeParams::bitrate_bps);
    ReadWrite(cls, "gop_in_seconds", &VideoEncodeParams::gop_in_seconds);
  }
  {
    py::class_<NetworkQualityInfo> cls(m, "NetworkQualityInfo");
    cls.def(py::init<>());
    ReadWrite(cls, "user_id", &NetworkQualityInfo::user_id);
    ReadWrite(cls, "quality", &NetworkQualityInfo::quality);
  }
  {
    py::class_<UserInfo> cls(m, "UserInfo");
    cls.def(py::init<>());
    ReadWrite(cls, "user_id", &UserInfo::user_id);
  }
  {
    py::class_<AudioObtainParams> cls(m, "AudioObtainParams");
    cls.def(py::init<>());
    ReadWrite(cls, "audio_obtain_method", &AudioObtainParams::audio_obtain_method);
    ReadWrite(cls, "enable_remote_audio_mix", &AudioObtainParams::enable_remote_audio_mix);
    ReadWrite(cls, "output_sample_rate", &AudioObtainParams::output_sample_rate);
    ReadWrite(cls, "output_channels", &AudioObtainParams::output_channels);
    ReadWrite(cls, "output_frame_length_ms", &AudioObtainParams::output_frame_length_ms);
    ReadWrite(cls, "output_audio_codec_type", &AudioObtainParams::output_audio_codec_type);
  }
  {
    py::class_<VADParams> cls(m, "VADParams");
    cls.def(py::init<>());
    ReadWrite(cls, "enable", &VADParams::enable);
  }
}

void RegisterFrames(py::module_& m) {
  py::class_<AudioFrame>(m, "AudioFrame")
      .def(py::init<>())
      .def_readwrite("pts", &AudioFrame::pts)
      .def_readwrite("sample_rate", &AudioFrame::sample_rate)
      .def_readwrite("channels", &AudioFrame::channels)
      .def_readwrite("bits_per_sample", &AudioFrame::bits_per_sample)
      .def_readwrite("codec", &AudioFrame::codec)
      .def_readwrite("has_voice", &AudioFrame::has_voice)
      .def_property_readonly("data", &GetFrameData<AudioFrame>)
      .def("SetData", &SetFrameData<AudioFrame, &AudioFrame::SetData>)
      .def_property_readonly("size", &GetFrameSize<AudioFrame>)
      .def("SetExtraData", &SetFrameData<AudioFrame, &AudioFrame::SetExtraData>);

  py::class_<VideoFrame>(m, "VideoFrame")
      .def(py::init<>())
      .def_readwrite("pts", &VideoFrame::pts)
      .def_readwrite("dts", &VideoFrame::dts)
      .def_readwrite("codec", &VideoFrame::codec)
      .def_readwrite("is_key_frame", &VideoFrame::is_key_frame)
      .def_readwrite("rotation", &VideoFrame::rotation)
      .def_property_readonly("data", &GetFrameData<VideoFrame>)
      .def("SetData", &SetFrameData<VideoFrame, &VideoFrame::SetData>)
      .def_property_readonly("size", &GetFrameSize<VideoFrame>);

  py::class_<PixelFrame>(m, "PixelFrame")
      .def(py::init<>())
      .def_readwrite("pts", &PixelFrame::pts)
      .def_readwrite("format", &PixelFrame::format)
      .def_readwrite("height", &PixelFrame::height)
      .def_readwrite("width", &PixelFrame::width)
      .def_readwrite("rotation", &PixelFrame::rotation)
      .def_property_readonly("data", &GetFrameData<PixelFrame>)
      .def("SetData", &SetFrameData<PixelFrame, &PixelFrame::SetData>)
      .def_property_readonly("size", &GetFrameSize<PixelFrame>);
}

// Members are registered in the order Python code lists them, which is not
// always value order (StreamType, Error).
void RegisterEnums(py::module_& m) {
  py::enum_<Error>(m, "Error")
      .value("ERR_OK", ERR_OK)
      .value("ERR_FAILED", ERR_FAILED)
      .value("ERR_INVALID_PARAMETER", ERR_INVALID_PARAMETER)
      .value("ERR_INVALID_OPERATION", ERR_INVALID_OPERATION)
      .value("ERR_NOT_SUPPORTED", ERR_NOT_SUPPORTED)
      .value("ERR_REQUEST_SERVER_TIMEOUT", ERR_REQUEST_SERVER_TIMEOUT)
      .value("ERR_SERVER_PROCESS_FAILED", ERR_SERVER_PROCESS_FAILED)
      .value("ERR_READ_TRY_AGAIN", ERR_READ_TRY_AGAIN)
      .value("ERR_NETWORK_UNREACHABLE", ERR_NETWORK_UNREACHABLE)
      .value("ERR_ENTER_ROOM_FAILED", ERR_ENTER_ROOM_FAILED)
      .value("ERR_INVALID_SDK_APP_ID", ERR_INVALID_SDK_APP_ID)
      .value("ERR_INVALID_ROOM_ID", ERR_INVALID_ROOM_ID)
      .value("ERR_INVALID_USER_ID", ERR_INVALID_USER_ID)
      .value("ERR_INVALID_USER_SIG", ERR_INVALID_USER_SIG)
      .value("ERR_SERVICE_SUSPENDED", ERR_SERVICE_SUSPENDED)
      .value("ERR_BANNED_BY_SERVER", ERR_BANNED_BY_SERVER)
      .export_values();

  py::enum_<VideoCodecType>(m, "VideoCodecType")
      .value("VIDEO_CODEC_TYPE_H264", VIDEO_CODEC_TYPE_H264)
      .value("VIDEO_CODEC_TYPE_H265", VIDEO_CODEC_TYPE_H265)
      .export_values();

  py::enum_<AudioCodecType>(m, "AudioCodecType")
      .value("AUDIO_CODEC_TYPE_PCM", AUDIO_CODEC_TYPE_PCM)
      .value("AUDIO_CODEC_TYPE_OPUS", AUDIO_CODEC_TYPE_OPUS)
      .value("AUDIO_CODEC_TYPE_AAC", AUDIO_CODEC_TYPE_AAC)
      .export_values();

  py::enum_<VELARole>(m, "VELARole")
      .value("VELA_ROLE_ANCHOR", VELA_ROLE_ANCHOR)
      .value("VELA_ROLE_AUDIENCE", VELA_ROLE_AUDIENCE)
      .export_values();

  py::enum_<VELAScene>(m, "VELAScene")
      .value("VELA_SCENE_VIDEO_CALL", VELA_SCENE_VIDEO_CALL)
      .value("VELA_SCENE_AUDIO_CALL", VELA_SCENE_AUDIO_CALL)
      .value("VELA_SCENE_LIVE", VELA_SCENE_LIVE)
      .value("VELA_SCENE_VOICE_CHAT", VELA_SCENE_VOICE_CHAT)
      .value("VELA_SCENE_RECORD", VELA_SCENE_RECORD)
      .export_values();

  py::enum_<StreamType>(m, "StreamType")
      .value("STREAM_TYPE_UNKNOWN", STREAM_TYPE_UNKNOWN)
      .value("STREAM_TYPE_VIDEO_HIGH", STREAM_TYPE_VIDEO_HIGH)
      .value("STREAM_TYPE_VIDEO_LOW", STREAM_TYPE_VIDEO_LOW)
      .value("STREAM_TYPE_VIDEO_AUX", STREAM_TYPE_VIDEO_AUX)
      .value("STREAM_TYPE_AUDIO", STREAM_TYPE_AUDIO)
      .export_values();

  py::enum_<AudioObtainMethod>(m, "AudioObtainMethod")
      .value("AUDIO_OBTAIN_METHOD_GET", AUDIO_OBTAIN_METHOD_GET)
      .value("AUDIO_OBTAIN_METHOD_CALLBACK", AUDIO_OBTAIN_METHOD_CALLBACK)
      .export_values();

  py::enum_<NetworkQuality>(m, "NetworkQuality")
      .value("NETWORK_QUALITY_UNKNOWN", NETWORK_QUALITY_UNKNOWN)
      .value("NETWORK_QUALITY_EXCELLENT", NETWORK_QUALITY_EXCELLENT)
      .value("NETWORK_QUALITY_GOOD", NETWORK_QUALITY_GOOD)
      .value("NETWORK_QUALITY_POOR", NETWORK_QUALITY_POOR)
      .value("NETWORK_QUALITY_BAD", NETWORK_QUALITY_BAD)
      .value("NETWORK_QUALITY_VERY_BAD", NETWORK_QUALITY_VERY_BAD)
      .value("NETWORK_QUALITY_DOWN", NETWORK_QUALITY_DOWN)
      .export_values();

  py::enum_<ConnectionState>(m, "ConnectionState")
      .value("CONNECTION_STATE_INIT", CONNECTION_STATE_INIT)
      .value("CONNECTION_STATE_DISCONNECTED", CONNECTION_STATE_DISCONNECTED)
      .value("CONNECTION_STATE_CONNECTING", CONNECTION_STATE_CONNECTING)
      .value("CONNECTION_STATE_CONNECTED", CONNECTION_STATE_CONNECTED)
      .export_values();

  py::enum_<VideoRotation>(m, "VideoRotation")
      .value("VIDEO_ROTATION_0", VIDEO_ROTATION_0)
      .value("VIDEO_ROTATION_90", VIDEO_ROTATION_90)
      .value("VIDEO_ROTATION_180", VIDEO_ROTATION_180)
      .value("VIDEO_ROTATION_270", VIDEO_ROTATION_270)
      .export_values();

  py::enum_<VideoPixelFormat>(m, "VideoPixelFormat")
      .value("VIDEO_PIXEL_FORMAT_YUV420p", VIDEO_PIXEL_FORMAT_YUV420p)
      .value("VIDEO_PIXEL_FORMAT_YUVA420p", VIDEO_PIXEL_FORMAT_YUVA420p)
      .value("VIDEO_PIXEL_FORMAT_RGBA", VIDEO_PIXEL_FORMAT_RGBA)
      .export_values();
}

// Each settings function is the SDK's own static function, bound directly.
void RegisterSettings(py::module_& m) {
  m.def("SetLogPath", &HaloLiveSDK::SetLogPath, py::arg("path"));
  m.def("SetLogLevel", &HaloLiveSDK::SetLogLevel, py::arg("level"));
  m.def("EnableConsoleLog", &HaloLiveSDK::EnableConsoleLog);
  m.def("DisableConsoleLog", &HaloLiveSDK::DisableConsoleLog);
  m.def("DisableLogCompress", &HaloLiveSDK::DisableLogCompress, py::arg("disabled"));
  m.def("DisableLogFile", &HaloLiveSDK::DisableLogFile, py::arg("disabled"));
  m.def("SetSocks5Proxy", &HaloLiveSDK::SetSocks5Proxy, py::arg("ip"), py::arg("port"), py::arg("username"),
        py::arg("password"));
  m.def("SetEnvironment", &HaloLiveSDK::SetEnvironment, py::arg("env"));
}

}  // namespace

// ===========================================================================
// 19. Module set-up
//
// Problem. The set-up must run once per process, in the main interpreter,
// and each step needs what the steps before it made.
// Design. The module body is the ordered list of register calls, each saying
// why it stands where it does.
// Invalidation. pybind11 from 3.0.1 on hands a second import of the module
// (after del sys.modules["_lumora"]) the module object it made first; 3.0.0
// runs the set-up again on a new module object, which would register every
// class a second time and fail, so there the second run hands back the
// first module before anything else runs. Nothing after that check ever
// runs twice.
// Concurrency: the import holds the lock.
// Tests: test_module.py; test_reliability.py: test_import_in_a_legacy_subinterpreter_is_refused.
// ===========================================================================

namespace {

// SDK threads enter Python through the main interpreter, so callbacks could
// never reach delegates made in another one.
void RequireMainInterpreter() {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    throw py::import_error(
        "_lumora can only be imported in the main interpreter: SDK callbacks arrive on SDK threads, which "
        "enter Python through the main interpreter");
  }
}

// A second run of the set-up (pybind11 3.0.0) puts the first module back
// into sys.modules, which is what the import then returns. True when it did.
bool ReuseFirstModule(py::module_& module) {
  static PyObject* first = nullptr;  // kept for the process's whole life
  if (first == nullptr) {
    first = module.inc_ref().ptr();
    return false;
  }
  py::module_::import("sys").attr("modules")[module.attr("__name__")] = py::handle(first);
  return true;
}

// pthread_atfork fails only when out of memory; a child would then keep the
// parent's counts, as before the handlers existed.
void InstallForkHandlers() { (void)pthread_atfork(&BeforeFork, &AfterForkInParent, &AfterForkInChild); }

}  // namespace

PYBIND11_MODULE(_lumora, m) {
  // First: SDK threads enter Python through the main interpreter only, so
  // callbacks could never reach delegates made in another one.
  RequireMainInterpreter();
  // Before anything is registered or replaced: a second run of the set-up
  // hands back the first module.
  if (ReuseFirstModule(m)) {
    return;
  }
  m.doc() = "VELA Lumora Python API (bind with C++ API by pybind11)";
  // The classes and functions, in the module's order: a signature names a
  // type by its Python name only when it was registered earlier (concern 18).
  RegisterCloud(m);
  RegisterDelegate(m);
  RegisterVelaString(m);
  RegisterRecords(m);
  RegisterFrames(m);
  RegisterEnums(m);
  RegisterSettings(m);
  // After every class exists: the guard goes into the common base and into
  // every class already derived from it (later ones inherit it).
  GuardBindingBaseConstructor();
  // After registration: every bound type's information exists.
  RefuseUnconstructedInstances<BoundTypes>();
  // Before the two steps that read the remembered type information.
  RememberRegisteredTypes<BoundTypes>();
  TakeOverDeallocation<BoundTypes>();
  // Needs the delegate's registered type.
  RememberCallbackNames();
  // The fork and exit handlers last, after every step that may fail: a
  // failed import installs neither (concerns 8 and 9).
  InstallForkHandlers();
  py::module_::import("atexit").attr("register")(py::cpp_function(&CloseInterpreterGate));
}
