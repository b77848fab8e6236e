// The _native extension module: NativeBlobCache owns one SharedCache and turns
// each Python call into one call of the core, made here with the interpreter
// lock held and run by the entry points in entry_points.c with it released.
// A NativeBlobCache is shared by any number of threads: the core is
// thread-safe, and the object holds nothing else that changes.
#include "python/calls.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "cache/shared_cache.h"

namespace qel {
namespace {

// All are created once and live as long as the process.
PyObject* native_type = nullptr;
PyObject* lock_type = nullptr;
PyObject* panic_exception = nullptr;

// The failures callers tell apart, each a RuntimeError of its own class.
struct ErrorClass {
  const char* name;  // as exported by the module
  const char* doc;
  PyObject* type = nullptr;
};
ErrorClass blob_mismatch_error{"BlobMismatchError",
                               "The blob ID is stored with other content: blob IDs are write-once."};
ErrorClass cache_closed_error{"CacheClosedError", "The cache was closed."};
ErrorClass directory_in_use_error{"DirectoryInUseError",
                                  "The directory's lock is held by a process that does not serve it: a tool, or a cache "
                                  "in another network namespace."};
ErrorClass* const ERROR_CLASSES[] = {&blob_mismatch_error, &cache_closed_error, &directory_in_use_error};

struct NativeBlobCacheObject {
  PyObject_HEAD
  std::unique_ptr<SharedCache> cache;
};

// ---- Exceptions

[[noreturn]] void uncaught_panic() { Py_FatalError("uncaught panic at ffi boundary"); }

PyObject* text_object(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

void raise_panic(const char* message) {
  PyObject* text = text_object(message);
  if (text == nullptr) uncaught_panic();
  PyObject* exception = PyObject_CallFunctionObjArgs(panic_exception, text, nullptr);
  Py_DECREF(text);
  if (exception == nullptr) uncaught_panic();
  PyErr_SetObject(panic_exception, exception);
  Py_DECREF(exception);
}

// The one place the core's error kinds become Python exception classes.
PyObject* error_type(const BlobCacheError& error) {
  switch (error.kind()) {
    case BlobCacheError::Kind::InvalidConfiguration: return PyExc_ValueError;
    case BlobCacheError::Kind::BlobIdMismatch: return blob_mismatch_error.type;
    case BlobCacheError::Kind::Closed: return cache_closed_error.type;
    default: return error.is_io_kind(IoKind::InUse) ? directory_in_use_error.type : PyExc_RuntimeError;
  }
}

PyObject* raise_error(const BlobCacheError& error) {
  PyObject* type = error_type(error);
  PyObject* text = text_object(error.to_string());
  if (text != nullptr) {
    PyErr_SetObject(type, text);
    Py_DECREF(text);
  }
  return nullptr;
}

// Runs one step of an entry point; nothing thrown by the core may cross into
// the interpreter or the entry points' C frames. The core throws Panic for a
// broken invariant and otherwise only bad_alloc. The body's result, or null
// with a Python exception set.
template <class Body>
auto boundary(Body&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& failure) {
    raise_panic(failure.what());
  } catch (...) {
    raise_panic("unknown exception from the blob cache core");
  }
  return nullptr;
}

}  // namespace
}  // namespace qel

// One call of the core, between the entry point that made it and its finish.
struct qel_call {
  // Made and freed with the interpreter lock held (calls.h), so from the
  // interpreter's small-object allocator, which takes 80 fewer instructions
  // than malloc and free: over 1% of a 4 KiB get's.
  static void* operator new(size_t size) {
    void* memory = PyMem_Malloc(size);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
  }
  static void operator delete(void* memory) noexcept { PyMem_Free(memory); }

  virtual ~qel_call() = default;
  // Without the interpreter lock.
  virtual void run() noexcept = 0;
  // With the lock again after a run: whether to run again. Runs no Python
  // code: a finalizer could call into the cache that the call holds open.
  virtual bool resume() noexcept { return false; }
  // With the lock again: the result, or null with a Python exception set.
  virtual PyObject* finish() = 0;
};

namespace qel {
namespace {

// `op` is the core call and may throw; `done` turns what it returned into the
// Python result. What `op` reads lives in the call or in the arguments, which
// the caller holds until the entry point returns.
template <class Op, class Done>
class CoreCall final : public qel_call {
 public:
  CoreCall(Op op, Done done) : op_(std::move(op)), done_(std::move(done)) {}

  void run() noexcept override {
    try {
      result_.emplace(op_());
    } catch (...) {
      failure_ = std::current_exception();
    }
  }

  PyObject* finish() override {
    if (failure_) std::rethrow_exception(failure_);
    return done_(*result_);
  }

 private:
  Op op_;
  Done done_;
  std::optional<std::invoke_result_t<Op&>> result_;
  std::exception_ptr failure_;  // what `op` threw instead
};

template <class Op, class Done>
std::unique_ptr<qel_call> core_call(Op op, Done done) {
  return std::make_unique<CoreCall<Op, Done>>(std::move(op), std::move(done));
}

// Makes an entry point's call; see calls.h.
template <class Body>
qel_call* make_call(Body&& body) noexcept {
  return boundary(std::forward<Body>(body)).release();
}

// ---- Arguments

struct Signature {
  const char* function;
  std::span<const char* const> names;
};

// Binds positional and keyword arguments to parameter names, reporting
// missing, surplus and unknown arguments the way the interpreter does.
class ArgumentMatch {
 public:
  ArgumentMatch(const Signature& signature, PyObject** slots) : signature_(signature), slots_(slots) {
    std::fill_n(slots_, signature_.names.size(), nullptr);
  }

  template <class Item>
  bool positional(Py_ssize_t count, Item item) {
    const auto limit = static_cast<Py_ssize_t>(signature_.names.size());
    if (count > limit) {
      PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd were given", signature_.function, limit,
                   limit == 1 ? "" : "s", count);
      return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) slots_[i] = item(i);
    return true;
  }

  bool keyword(PyObject* name, PyObject* value) {
    for (size_t i = 0; i < signature_.names.size(); ++i) {
      if (!PyUnicode_Check(name) || PyUnicode_CompareWithASCIIString(name, signature_.names[i]) != 0) continue;
      if (slots_[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", signature_.function,
                     signature_.names[i]);
        return false;
      }
      slots_[i] = value;
      return true;
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", signature_.function, name);
    return false;
  }

  bool complete() const {
    for (size_t i = 0; i < signature_.names.size(); ++i) {
      if (slots_[i] != nullptr) continue;
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", signature_.function,
                   signature_.names[i], i + 1);
      return false;
    }
    return true;
  }

 private:
  const Signature& signature_;
  PyObject** slots_;
};

// The vectorcall form used by the methods: positional values, then one value
// per name in `kwnames`.
bool match_fast(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** slots) {
  ArgumentMatch match(signature, slots);
  if (!match.positional(nargs, [&](Py_ssize_t i) { return args[i]; })) return false;
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  for (Py_ssize_t i = 0; i < keywords; ++i) {
    if (!match.keyword(PyTuple_GetItem(kwnames, i), args[nargs + i])) return false;
  }
  return match.complete();
}

// The tuple-and-dict form used by the constructor.
bool match_tuple(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** slots) {
  ArgumentMatch match(signature, slots);
  if (!match.positional(PyTuple_Size(args), [&](Py_ssize_t i) { return PyTuple_GetItem(args, i); })) return false;
  Py_ssize_t position = 0;
  PyObject* name;
  PyObject* value;
  while (kwargs != nullptr && PyDict_Next(kwargs, &position, &name, &value)) {
    if (!match.keyword(name, value)) return false;
  }
  return match.complete();
}

// Replaces a pending TypeError by one that names the parameter, keeping the
// original as its cause. Other errors (OverflowError, UnicodeEncodeError)
// pass unchanged.
void name_parameter(const char* parameter) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type, *cause, *traceback;
  PyErr_Fetch(&type, &cause, &traceback);
  PyErr_NormalizeException(&type, &cause, &traceback);
  if (traceback != nullptr) {
    PyException_SetTraceback(cause, traceback);
    Py_DECREF(traceback);
  }
  Py_DECREF(type);
  PyObject* text = PyUnicode_FromFormat("argument '%s': %S", parameter, cause);
  PyObject* named = text == nullptr ? nullptr : PyObject_CallFunctionObjArgs(PyExc_TypeError, text, nullptr);
  Py_XDECREF(text);
  if (named == nullptr) {
    Py_DECREF(cause);
    return;
  }
  PyException_SetCause(named, cause);
  PyErr_SetObject(PyExc_TypeError, named);
  Py_DECREF(named);
}

PyObject* wrong_type(const char* parameter, const char* expected, PyObject* value) {
  PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__qualname__");
  if (name != nullptr) {
    PyErr_Format(PyExc_TypeError, "expected %s, got '%U'", expected, name);
    Py_DECREF(name);
  }
  name_parameter(parameter);
  return nullptr;
}

// A str (or subclass) as UTF-8, borrowed from the object for as long as the
// caller holds it.
std::optional<std::string_view> text_argument(const char* parameter, PyObject* value) {
  if (!PyUnicode_Check(value)) {
    wrong_type(parameter, "str", value);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (utf8 == nullptr) return std::nullopt;
  return std::string_view(utf8, static_cast<size_t>(size));
}

// A file path as the file system names it: text that came from a listing
// carries undecodable bytes as surrogates, and gets them back here.
std::optional<std::string> path_argument(const char* parameter, PyObject* value) {
  if (!PyUnicode_Check(value)) {
    wrong_type(parameter, "str", value);
    return std::nullopt;
  }
  PyObject* encoded = PyUnicode_EncodeFSDefault(value);
  if (encoded == nullptr) return std::nullopt;
  std::string path(PyBytes_AsString(encoded), static_cast<size_t>(PyBytes_Size(encoded)));
  Py_DECREF(encoded);
  return path;
}

PyObject* path_object(std::string_view path) {
  return PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
}

// The bytes (or subclass) buffer itself: immutable, so it can be read in place
// while the interpreter lock is released.
std::optional<std::span<const uint8_t>> bytes_argument(const char* parameter, PyObject* value) {
  if (!PyBytes_Check(value)) {
    wrong_type(parameter, "bytes", value);
    return std::nullopt;
  }
  const char* data = PyBytes_AsString(value);
  if (data == nullptr) return std::nullopt;
  return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(PyBytes_Size(value)));
}

std::optional<int64_t> integer_argument(const char* parameter, PyObject* value) {
  const long long converted = PyLong_AsLongLong(value);
  if (converted == -1 && PyErr_Occurred()) {
    name_parameter(parameter);
    return std::nullopt;
  }
  return static_cast<int64_t>(converted);
}

// ---- Receiver and results

// The receiver's cache, or null with a TypeError set. The caller holds the
// receiver until the entry point returns, so the cache outlives the call.
SharedCache* receiver(PyObject* self) {
  if (!PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(native_type))) {
    PyErr_SetString(PyExc_TypeError, "method requires a NativeBlobCache receiver");
    return nullptr;
  }
  return reinterpret_cast<NativeBlobCacheObject*>(self)->cache.get();
}

PyObject* stats_object(const BlobCacheStats& stats) {
  return Py_BuildValue("(LLLKKKKK)", static_cast<long long>(stats.blobs), static_cast<long long>(stats.bytes),
                       static_cast<long long>(stats.max_bytes), static_cast<unsigned long long>(stats.hits),
                       static_cast<unsigned long long>(stats.misses), static_cast<unsigned long long>(stats.puts_admitted),
                       static_cast<unsigned long long>(stats.puts_refused), static_cast<unsigned long long>(stats.evictions));
}

PyObject* none_or_raise(const Result<void>& result) {
  if (!result) return raise_error(result.error());
  Py_RETURN_NONE;
}

PyObject* bool_or_raise(const Result<bool>& result) {
  if (!result) return raise_error(result.error());
  return PyBool_FromLong(*result);
}

// ---- get

// Payloads from this length on are read straight into the bytes object
// handed to Python, at the cost of taking the interpreter lock once more to
// create it; shorter ones are read into a buffer of the core's and copied,
// which costs less than that. Gets per CPU second, one thread, from the page
// cache, copied / direct: 512 B 130k / 118k, 4 KiB 125k / 131k (within the
// noise), 16 KiB 86k / 111k, 64 KiB 38k / 52k.
constexpr size_t DIRECT_READ_MIN = size_t{8} << 10;

// A get in one or two runs. The first reads a short payload into a buffer
// of its own, copied into a bytes object at the finish; at a long one it
// stops before reading, the lock is taken back to create a bytes object of
// the payload's length, and the second run reads into that object. No one
// else has a reference to the object until the call returns it whole and
// verified; after a miss or a failed read it is released unseen. Nothing of
// the cache is held between the runs.
class GetCall final : public qel_call, private PayloadSink {
 public:
  GetCall(SharedCache& cache, std::string_view blob_id) : cache_(cache), blob_id_(blob_id) {}
  // Deleted by qel_call_finish, with the interpreter lock held.
  ~GetCall() override { Py_XDECREF(bytes_); }

  void run() noexcept override {
    try {
      auto read = cache_.get_into(blob_id_, *this, bytes_ != nullptr);
      if (!read) {
        error_.emplace(std::move(read).error());
        return;
      }
      stopped_ = *read == ReadInto::Stopped;
      filled_ = *read == ReadInto::Filled;
    } catch (...) {
      failure_ = std::current_exception();
    }
  }

  bool resume() noexcept override {
    if (!stopped_ || bytes_ != nullptr) return false;
    bytes_ = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(into_.size()));
    if (bytes_ == nullptr) return false;  // the finish raises the MemoryError
    into_ = std::span(reinterpret_cast<uint8_t*>(PyBytes_AsString(bytes_)), into_.size());
    return true;
  }

  PyObject* finish() override {
    if (failure_) std::rethrow_exception(failure_);
    if (error_) return raise_error(*error_);
    if (stopped_ && bytes_ == nullptr) return nullptr;  // the object could not be created
    if (!filled_) Py_RETURN_NONE;
    if (payload_) return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(payload_->data()),
                                                   static_cast<Py_ssize_t>(payload_->size()));
    return std::exchange(bytes_, nullptr);
  }

 private:
  std::optional<std::span<uint8_t>> buffer(size_t len) override {
    const bool retry = bytes_ != nullptr;
    if (retry && len == into_.size()) return into_;
    // A blob put again under the ID between the runs, of another length, is
    // read as a short one.
    if (len < DIRECT_READ_MIN || retry) return std::span(payload_.emplace(len).data(), len);
    into_ = std::span<uint8_t>(static_cast<uint8_t*>(nullptr), len);
    return std::nullopt;
  }

  SharedCache& cache_;
  const std::string_view blob_id_;  // the caller's argument, held until the call returns
  std::optional<Payload> payload_;  // a short payload read
  PyObject* bytes_ = nullptr;       // a long payload's object, ours alone until returned
  std::span<uint8_t> into_;         // its bytes; before it exists, only their length
  bool stopped_ = false;            // the last run stopped for the object
  bool filled_ = false;             // the last run read the payload
  std::optional<BlobCacheError> error_;
  std::exception_ptr failure_;  // what the core threw instead
};

// ---- NativeBlobCache

constexpr const char* NEW_NAMES[] = {"directory", "max_bytes", "frequency_counters"};
constexpr Signature NEW_SIGNATURE{"NativeBlobCache", NEW_NAMES};
constexpr const char* BLOB_ID_NAMES[] = {"blob_id"};
constexpr Signature GET_SIGNATURE{"get", BLOB_ID_NAMES};
constexpr Signature DELETE_SIGNATURE{"delete", BLOB_ID_NAMES};
constexpr const char* PUT_NAMES[] = {"blob_id", "payload"};
constexpr Signature PUT_SIGNATURE{"put", PUT_NAMES};
constexpr Signature CONTAINS_SIGNATURE{"contains", BLOB_ID_NAMES};
constexpr const char* INSPECT_NAMES[] = {"directory", "path"};
constexpr Signature INSPECT_SIGNATURE{"inspect_file", INSPECT_NAMES};
constexpr const char* DIRECTORY_NAMES[] = {"directory"};
constexpr Signature PURGE_SIGNATURE{"purge", DIRECTORY_NAMES};
constexpr Signature LIVE_STATS_SIGNATURE{"live_stats", DIRECTORY_NAMES};
constexpr Signature CLEAR_LIVE_SIGNATURE{"clear_live", DIRECTORY_NAMES};
constexpr Signature LIST_SIGNATURE{"list_files", DIRECTORY_NAMES};

// The first failed rule, if any.
std::optional<std::string> configuration_fault(std::string_view directory, int64_t max_bytes, int64_t frequency_counters) {
  if (directory.empty()) return "directory must not be empty";
  if (max_bytes <= 0) return "max_bytes must be positive";
  if (frequency_counters < 0) return "frequency_counters must not be negative";
  // Past this the engine could not size its admission filter, or not allocate it.
  if (frequency_counters > MAX_FREQUENCY_COUNTERS)
    return "frequency_counters must be at most " + std::to_string(MAX_FREQUENCY_COUNTERS);
  // A NUL would silently cut the path short at the operating system.
  if (directory.find('\0') != std::string_view::npos) return "directory must not contain NUL characters";
  return std::nullopt;
}

void native_dealloc(PyObject* self) {
  auto* object = reinterpret_cast<NativeBlobCacheObject*>(self);
  PyTypeObject* type = Py_TYPE(self);
  // Dropping is not close: the engine stops, every blob file stays on disk.
  std::destroy_at(&object->cache);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

// ---- Module functions for tools that look at a directory no cache has open

// The store over a cache directory; nothing on disk is touched.
std::optional<LocalFileStore> store_argument(PyObject* value) {
  const auto directory = text_argument("directory", value);
  if (!directory) return std::nullopt;
  auto created = LocalFileStore::create(*directory);
  if (!created) {
    raise_error(created.error());
    return std::nullopt;
  }
  return std::move(created).value();
}

// Nanoseconds since the epoch as a Python int: 64 bits of them reach only
// the years 1677 to 2262, and a file's time may lie beyond.
PyObject* nanoseconds(const FileTime& time) {
  PyObject* seconds = PyLong_FromLongLong(time.seconds);
  PyObject* scale = PyLong_FromLong(1'000'000'000);
  PyObject* nanos = PyLong_FromUnsignedLong(time.nanos);
  PyObject* scaled = seconds && scale ? PyNumber_Multiply(seconds, scale) : nullptr;
  PyObject* total = scaled && nanos ? PyNumber_Add(scaled, nanos) : nullptr;
  Py_XDECREF(seconds);
  Py_XDECREF(scale);
  Py_XDECREF(nanos);
  Py_XDECREF(scaled);
  return total;
}

// A list built from `items`, one object per item made by `make`.
template <class Items, class Make>
PyObject* list_of(const Items& items, Make make) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
  if (list == nullptr) return nullptr;
  for (size_t i = 0; i < items.size(); ++i) {
    PyObject* item = make(items[i]);
    // SetItem takes the item over, also when it fails.
    if (item == nullptr || PyList_SetItem(list, static_cast<Py_ssize_t>(i), item) != 0) {
      Py_DECREF(list);
      return nullptr;
    }
  }
  return list;
}

}  // namespace

// ---- The calls the entry points make

extern "C" {

qel_call* qel_new_call(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return make_call([&]() -> std::unique_ptr<qel_call> {
    PyObject* values[3];
    // `durable` is keyword-only; the other keywords bind as before.
    PyObject* durable_value = kwargs == nullptr ? nullptr : PyDict_GetItemString(kwargs, "durable");
    PyObject* others = kwargs;
    if (durable_value != nullptr) {
      others = PyDict_Copy(kwargs);
      if (others == nullptr || PyDict_DelItemString(others, "durable") != 0) {
        Py_XDECREF(others);
        return nullptr;
      }
    }
    const bool matched = match_tuple(NEW_SIGNATURE, args, others, values);
    if (others != kwargs) Py_DECREF(others);
    if (!matched) return nullptr;
    if (durable_value != nullptr && !PyBool_Check(durable_value)) {
      wrong_type("durable", "bool", durable_value);
      return nullptr;
    }
    const auto directory = text_argument("directory", values[0]);
    if (!directory) return nullptr;
    const auto max_bytes = integer_argument("max_bytes", values[1]);
    if (!max_bytes) return nullptr;
    const auto frequency_counters = integer_argument("frequency_counters", values[2]);
    if (!frequency_counters) return nullptr;
    if (auto fault = configuration_fault(*directory, *max_bytes, *frequency_counters)) {
      raise_error(BlobCacheError::invalid_configuration(std::move(*fault)));
      return nullptr;
    }

    BlobCacheConfig config{
        .directory = std::string(*directory),
        .max_bytes = *max_bytes,
        .frequency_counters = *frequency_counters,
        .durable = durable_value != Py_False,
    };
    // Opening a large cache takes seconds; other threads run meanwhile. No
    // one else can reach the cache before it is returned, and the directory's
    // lock keeps out any other opener.
    return core_call([config = std::move(config)]() mutable { return SharedCache::open(std::move(config)); },
                     [type](Result<std::unique_ptr<SharedCache>>& opened) -> PyObject* {
                       if (!opened) return raise_error(opened.error());
                       auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
                       PyObject* self = alloc(type, 0);
                       if (self == nullptr) return nullptr;  // the call drops the cache; its files stay
                       auto* object = reinterpret_cast<NativeBlobCacheObject*>(self);
                       new (&object->cache) std::unique_ptr<SharedCache>(std::move(*opened));
                       return self;
                     });
  });
}

qel_call* qel_get_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return make_call([&]() -> std::unique_ptr<qel_call> {
    PyObject* values[1];
    if (!match_fast(GET_SIGNATURE, args, nargs, kwnames, values)) return nullptr;
    SharedCache* cache = receiver(self);
    if (cache == nullptr) return nullptr;
    const auto blob_id = text_argument("blob_id", values[0]);
    if (!blob_id) return nullptr;
    return std::make_unique<GetCall>(*cache, *blob_id);
  });
}

qel_call* qel_put_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return make_call([&]() -> std::unique_ptr<qel_call> {
    PyObject* values[2];
    if (!match_fast(PUT_SIGNATURE, args, nargs, kwnames, values)) return nullptr;
    SharedCache* cache = receiver(self);
    if (cache == nullptr) return nullptr;
    const auto blob_id = text_argument("blob_id", values[0]);
    if (!blob_id) return nullptr;
    const auto payload = bytes_argument("payload", values[1]);
    if (!payload) return nullptr;
    return core_call([cache, blob_id = *blob_id, payload = *payload] { return cache->put(blob_id, payload); },
                     bool_or_raise);
  });
}

qel_call* qel_delete_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return make_call([&]() -> std::unique_ptr<qel_call> {
    PyObject* values[1];
    if (!match_fast(DELETE_SIGNATURE, args, nargs, kwnames, values)) return nullptr;
    SharedCache* cache = receiver(self);
    if (cache == nullptr) return nullptr;
    const auto blob_id = text_argument("blob_id", values[0]);
    if (!blob_id) return nullptr;
    return core_call([cache, blob_id = *blob_id] { return cache->delete_blob(blob_id); }, none_or_raise);
  });
}

qel_call* qel_contains_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return make_call([&]() -> std::unique_ptr<qel_call> {
    PyObject* values[1];
    if (!match_fast(CONTAINS_SIGNATURE, args, nargs, kwnames, values)) return nullptr;
    SharedCache* cache = receiver(self);
    if (cache == nullptr) return nullptr;
    const auto blob_id = text_argument("blob_id", values[0]);
    if (!blob_id) return nullptr;
    return core_call([cache, blob_id = *blob_id] { return cache->contains(blob_id); }, bool_or_raise);
  });
}

qel_call* qel_delete_all_call(PyObject* self) noexcept {
  return make_call([&]() -> std::unique_ptr<qel_call> {
    SharedCache* cache = receiver(self);
    if (cache == nullptr) return nullptr;
    return core_call([cache] { return cache->delete_all(); }, none_or_raise);
  });
}

qel_call* qel_close_call(PyObject* self) noexcept {
  return make_call([&]() -> std::unique_ptr<qel_call> {
    SharedCache* cache = receiver(self);
    if (cache == nullptr) return nullptr;
    return core_call([cache] { return cache->close(); }, none_or_raise);
  });
}

qel_call* qel_stats_call(PyObject* self) noexcept {
  return make_call([&]() -> std::unique_ptr<qel_call> {
    SharedCache* cache = receiver(self);
    if (cache == nullptr) return nullptr;
    return core_call([cache] { return cache->stats(); }, [](const Result<BlobCacheStats>& stats) -> PyObject* {
      if (!stats) return raise_error(stats.error());
      return stats_object(*stats);
    });
  });
}

qel_call* qel_inspect_file_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return make_call([&]() -> std::unique_ptr<qel_call> {
    PyObject* values[2];
    if (!match_fast(INSPECT_SIGNATURE, args, nargs, kwnames, values)) return nullptr;
    auto store = store_argument(values[0]);
    if (!store) return nullptr;
    auto path = path_argument("path", values[1]);
    if (!path) return nullptr;
    if (path->find('\0') != std::string::npos) {
      raise_error(BlobCacheError::io_errno("open cache entry", EINVAL));
      return nullptr;
    }
    return core_call(
        [store = std::move(*store), path = std::filesystem::path(std::move(*path))] { return store.inspect(path); },
        [](const Result<FileMetadata>& inspected) -> PyObject* {
          if (!inspected) return raise_error(inspected.error());
          const FileMetadata& metadata = *inspected;
          PyObject* blob_id = text_object(metadata.blob_id);
          if (blob_id == nullptr) return nullptr;
          PyObject* modified = nanoseconds(metadata.modified);
          if (modified == nullptr) {
            Py_DECREF(blob_id);
            return nullptr;
          }
          return Py_BuildValue("(NLN)", blob_id, static_cast<long long>(metadata.file_len), modified);
        });
  });
}

qel_call* qel_list_files_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return make_call([&]() -> std::unique_ptr<qel_call> {
    PyObject* values[1];
    if (!match_fast(LIST_SIGNATURE, args, nargs, kwnames, values)) return nullptr;
    auto store = store_argument(values[0]);
    if (!store) return nullptr;
    return core_call([store = std::move(*store)] { return store.scan(ScanMode::List); },
                     [](const Result<ScanResult>& listed) -> PyObject* {
                       if (!listed) return raise_error(listed.error());
                       PyObject* files = list_of(listed->entries, [](const FileMetadata& file) {
                         PyObject* path = path_object(file.path);
                         PyObject* modified = path ? nanoseconds(file.modified) : nullptr;
                         if (modified == nullptr) {
                           Py_XDECREF(path);
                           return static_cast<PyObject*>(nullptr);
                         }
                         return Py_BuildValue("(NLN)", path, static_cast<long long>(file.file_len), modified);
                       });
                       if (files == nullptr) return nullptr;
                       PyObject* set_aside = list_of(listed->invalid, [](const std::filesystem::path& path) {
                         return path_object(path.native());
                       });
                       if (set_aside == nullptr) {
                         Py_DECREF(files);
                         return nullptr;
                       }
                       return Py_BuildValue("(NN)", files, set_aside);
                     });
  });
}

qel_call* qel_purge_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return make_call([&]() -> std::unique_ptr<qel_call> {
    PyObject* values[1];
    if (!match_fast(PURGE_SIGNATURE, args, nargs, kwnames, values)) return nullptr;
    auto store = store_argument(values[0]);
    if (!store) return nullptr;
    return core_call([store = std::move(*store)] { return store.purge(); }, none_or_raise);
  });
}

qel_call* qel_live_stats_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return make_call([&]() -> std::unique_ptr<qel_call> {
    PyObject* values[1];
    if (!match_fast(LIVE_STATS_SIGNATURE, args, nargs, kwnames, values)) return nullptr;
    auto store = store_argument(values[0]);
    if (!store) return nullptr;
    return core_call([store = std::move(*store)] { return SharedCache::live_stats(store); },
                     [](const Result<std::optional<BlobCacheStats>>& stats) -> PyObject* {
                       if (!stats) return raise_error(stats.error());
                       if (!*stats) Py_RETURN_NONE;
                       return stats_object(**stats);
                     });
  });
}

qel_call* qel_clear_live_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return make_call([&]() -> std::unique_ptr<qel_call> {
    PyObject* values[1];
    if (!match_fast(CLEAR_LIVE_SIGNATURE, args, nargs, kwnames, values)) return nullptr;
    auto store = store_argument(values[0]);
    if (!store) return nullptr;
    return core_call([store = std::move(*store)] { return SharedCache::clear_live(store); }, bool_or_raise);
  });
}

void qel_call_run(qel_call* call) noexcept { call->run(); }

int qel_call_resume(qel_call* call) noexcept { return call->resume() ? 1 : 0; }

PyObject* qel_call_finish(qel_call* call) noexcept {
  const std::unique_ptr<qel_call> owned(call);
  return boundary([&] { return owned->finish(); });
}

}  // extern "C"

namespace {

// ---- Tables

// ---- DirectoryLock: the lock an open cache holds, for tools

struct DirectoryLockObject {
  PyObject_HEAD
  // Holds the directory's lock while set; empty once released.
  std::optional<LocalFileStore> store;
};

constexpr Signature LOCK_SIGNATURE{"DirectoryLock", DIRECTORY_NAMES};

PyObject* lock_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    PyObject* values[1];
    if (!match_tuple(LOCK_SIGNATURE, args, kwargs, values)) return nullptr;
    auto store = store_argument(values[0]);
    if (!store) return nullptr;
    // The directory as it is: a tool's lock neither creates nor narrows it.
    if (auto locked = store->lock_root(false); !locked) return raise_error(locked.error());
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) {
      store->release_root();
      return nullptr;
    }
    new (&reinterpret_cast<DirectoryLockObject*>(self)->store) std::optional<LocalFileStore>(std::move(store));
    return self;
  });
}

void release_lock(PyObject* self) {
  auto& store = reinterpret_cast<DirectoryLockObject*>(self)->store;
  if (store) store->release_root();
  store.reset();
}

void lock_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  release_lock(self);
  std::destroy_at(&reinterpret_cast<DirectoryLockObject*>(self)->store);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

PyObject* lock_release(PyObject* self, PyObject*) {
  release_lock(self);
  Py_RETURN_NONE;
}

PyObject* lock_enter(PyObject* self, PyObject*) {
  Py_INCREF(self);
  return self;
}

PyObject* lock_exit(PyObject* self, PyObject*) {
  release_lock(self);
  Py_RETURN_FALSE;
}

template <class Function>
PyCFunction method(Function function) {
  // The method table stores every calling convention under one pointer type.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef native_methods[] = {
    {"get", method(qel_native_get), METH_FASTCALL | METH_KEYWORDS, "get($self, blob_id)\n--\n\n"},
    {"put", method(qel_native_put), METH_FASTCALL | METH_KEYWORDS, "put($self, blob_id, payload)\n--\n\n"},
    {"delete", method(qel_native_delete), METH_FASTCALL | METH_KEYWORDS, "delete($self, blob_id)\n--\n\n"},
    {"delete_all", method(qel_native_delete_all), METH_NOARGS, "delete_all($self)\n--\n\n"},
    {"close", method(qel_native_close), METH_NOARGS, "close($self)\n--\n\n"},
    {"contains", method(qel_native_contains), METH_FASTCALL | METH_KEYWORDS,
     "contains($self, blob_id)\n--\n\nWhether a readable blob is held, without counting as an access."},
    {"stats", method(qel_native_stats), METH_NOARGS,
     "stats($self)\n--\n\n(blobs, bytes, max_bytes, hits, misses, puts_admitted, puts_refused, evictions)"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef module_functions[] = {
    {"inspect_file", method(qel_module_inspect_file), METH_FASTCALL | METH_KEYWORDS,
     "inspect_file(directory, path)\n--\n\nVerifies one blob file of the cache directory as an open "
     "would: (blob_id, file_len, modified_ns), or RuntimeError naming what is wrong."},
    {"list_files", method(qel_module_list_files), METH_FASTCALL | METH_KEYWORDS,
     "list_files(directory)\n--\n\nThe files of a cache directory that an open looks at, found without following "
     "links and not read: ([(path, file_len, modified_ns)] of the blob files, newest first; [path] of what the "
     "open removes unread, such as links, FIFOs and directories where a blob file belongs)."},
    {"purge", method(qel_module_purge), METH_FASTCALL | METH_KEYWORDS,
     "purge(directory)\n--\n\nRemoves every blob and temporary file of a cache directory that no cache has open."},
    {"live_stats", method(qel_module_live_stats), METH_FASTCALL | METH_KEYWORDS,
     "live_stats(directory)\n--\n\nThe stats of the caches that have the directory open, as their owner counts them; None "
     "when none has. The per-process counters are 0."},
    {"clear_live", method(qel_module_clear_live), METH_FASTCALL | METH_KEYWORDS,
     "clear_live(directory)\n--\n\nEmpties a directory that caches have open, as their delete_all does; False when none "
     "has it open."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef lock_methods[] = {
    {"release", lock_release, METH_NOARGS, "release($self)\n--\n\nLets go of the lock; idempotent."},
    {"__enter__", lock_enter, METH_NOARGS, nullptr},
    {"__exit__", lock_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot lock_slots[] = {
    {Py_tp_doc, const_cast<char*>("DirectoryLock(directory)\n--\n\n"
                                  "Holds the lock an open cache holds on its directory, from construction until "
                                  "release() or the end of a with block, so that no cache opens the directory "
                                  "meanwhile; DirectoryInUseError while a cache has it open. Changes nothing on disk.")},
    {Py_tp_new, reinterpret_cast<void*>(lock_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(lock_dealloc)},
    {Py_tp_methods, lock_methods},
    {0, nullptr},
};

PyType_Spec lock_spec = {
    .name = "qel._native.DirectoryLock",
    .basicsize = sizeof(DirectoryLockObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = lock_slots,
};

PyType_Slot native_slots[] = {
    {Py_tp_doc, const_cast<char*>("NativeBlobCache(directory, max_bytes, frequency_counters, *, durable=True)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(qel_native_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(native_dealloc)},
    {Py_tp_methods, native_methods},
    {0, nullptr},
};

// No base-type, GC, dict or weak-reference support: instances are leaves that
// own nothing Python can reach. The module prefix gives the class its
// __module__; a bare name makes the interpreter warn at import.
PyType_Spec native_spec = {
    .name = "qel._native.NativeBlobCache",
    .basicsize = sizeof(NativeBlobCacheObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = native_slots,
};

PyModuleDef native_module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_native",
    .m_doc = "The native core of qel: NativeBlobCache, a blob cache over one directory.",
    // Not -1: a second interpreter must reach the initialiser to be refused.
    .m_size = 0,
    .m_methods = module_functions,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

PyObject* native_module = nullptr;
int64_t native_module_interpreter = -1;

PyObject* init_module() {
  const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter < 0) return nullptr;
  if (native_module != nullptr) {
    if (interpreter != native_module_interpreter) {
      PyErr_SetString(PyExc_ImportError, "qel._native can be initialised in only one interpreter per process");
      return nullptr;
    }
    Py_INCREF(native_module);
    return native_module;
  }
  if (native_type == nullptr && (native_type = PyType_FromSpec(&native_spec)) == nullptr) return nullptr;
  if (panic_exception == nullptr) {
    panic_exception = PyErr_NewExceptionWithDoc(
        "qel.PanicException",
        "An internal invariant of the blob cache core failed. Derives from BaseException so that "
        "ordinary `except Exception` handlers do not swallow it.",
        PyExc_BaseException, nullptr);
    if (panic_exception == nullptr) return nullptr;
  }
  if (lock_type == nullptr && (lock_type = PyType_FromSpec(&lock_spec)) == nullptr) return nullptr;
  for (ErrorClass* error : ERROR_CLASSES) {
    if (error->type != nullptr) continue;
    const std::string qualified = std::string("qel.") + error->name;
    error->type = PyErr_NewExceptionWithDoc(qualified.c_str(), error->doc, PyExc_RuntimeError, nullptr);
    if (error->type == nullptr) return nullptr;
  }
  PyObject* module = PyModule_Create(&native_module_def);
  if (module == nullptr) return nullptr;
  bool added = PyModule_AddObjectRef(module, "NativeBlobCache", native_type) == 0 &&
               PyModule_AddObjectRef(module, "DirectoryLock", lock_type) == 0 &&
               PyModule_AddObjectRef(module, "PanicException", panic_exception) == 0 &&
               PyModule_AddIntConstant(module, "HEADER_LEN", static_cast<long>(HEADER_LEN)) == 0;
  for (ErrorClass* error : ERROR_CLASSES) added = added && PyModule_AddObjectRef(module, error->name, error->type) == 0;
  if (!added) {
    Py_DECREF(module);
    return nullptr;
  }
  native_module = module;
  native_module_interpreter = interpreter;
  Py_INCREF(native_module);
  return native_module;
}

}  // namespace
}  // namespace qel

PyMODINIT_FUNC PyInit__native() { return qel::boundary(qel::init_module); }
