#include "binding/float_buffer.hpp"

#include <atomic>
#include <cstring>
#include <optional>
#include <string_view>

#include "binding/error.hpp"
#include "binding/once.hpp"
#include "binding/ref.hpp"
#include "engine/float_environment.hpp"

namespace tessaly {
namespace {

// A type from a module, looked up only once that module has been imported
// (an instance of it cannot exist before) and kept for the process.
class KnownType {
 public:
  KnownType(const char* module, const char* name) : module_(module), name_(name) {}

  Result<bool> is_type_of(PyObject* object) noexcept {
    PyObject* type = get_or_make(slot_, [this] { return look_up(); });
    if (type == nullptr) {
      if (PyErr_Occurred()) TRY(discard_pending_error());
      return false;
    }
    return Py_TYPE(object) == reinterpret_cast<PyTypeObject*>(type);
  }

 private:
  // A new reference to the type, or null: with an error set if looking it
  // up failed, without one if its module is not imported yet.
  PyObject* look_up() noexcept {
    Ref name = Ref::steal(PyUnicode_FromString(module_));
    Ref module = Ref::steal(name ? PyImport_GetModule(name.get()) : nullptr);
    if (!module) return nullptr;
    PyObject* type = PyObject_GetAttrString(module.get(), name_);
    if (type != nullptr && !PyType_Check(type)) Py_CLEAR(type);
    return type;
  }

  const char* module_;
  const char* name_;
  std::atomic<PyObject*> slot_{nullptr};
};

KnownType numpy_array("numpy", "ndarray");
KnownType array_array("array", "array");

// numpy's array interface, the contents of an array's __array_struct__
// capsule (its layout is part of numpy's published protocol).
struct ArrayInterface {
  int two;  // always 2
  int nd;
  char typekind;
  int itemsize;
  int flags;
  Py_intptr_t* shape;
  Py_intptr_t* strides;  // null: C-contiguous
  void* data;
  PyObject* descr;
};
constexpr int kNotSwapped = 0x200;

// Elements of 4 (float) or 8 (double) bytes in rows and columns, at any
// strides: a vector is one row.
struct Grid {
  const char* data;
  std::size_t rows;
  std::size_t columns;
  std::ptrdiff_t row_stride;
  std::ptrdiff_t column_stride;
  std::size_t itemsize;
};

// The grid's elements, row after row, narrowed into `out`.
Result<void> copy_grid(const Grid& grid, FloatVector& out) noexcept {
  out.clear();
  if (grid.columns != 0 && grid.rows > SIZE_MAX / grid.columns) return Error::no_memory();
  if (!out.try_reserve(grid.rows * grid.columns)) return Error::no_memory();
  out.set_size_reserved(grid.rows * grid.columns);
  float* to = out.data();
  auto row = [&](std::size_t r) { return grid.data + static_cast<std::ptrdiff_t>(r) * grid.row_stride; };
  auto element = [&](std::size_t r, std::size_t c) {
    return row(r) + static_cast<std::ptrdiff_t>(c) * grid.column_stride;
  };
  if (grid.itemsize == sizeof(float)) {  // copied, bits as they are
    for (std::size_t r = 0; r < grid.rows; ++r) {
      if (grid.column_stride == sizeof(float)) {
        if (grid.columns != 0) std::memcpy(to, row(r), grid.columns * sizeof(float));
        to += grid.columns;
        continue;
      }
      for (std::size_t c = 0; c < grid.columns; ++c) std::memcpy(to++, element(r, c), sizeof(float));
    }
    return {};
  }
  const FloatEnvironment environment;  // narrowed, which the mode decides
  for (std::size_t r = 0; r < grid.rows; ++r) {
    for (std::size_t c = 0; c < grid.columns; ++c) {
      double value;
      std::memcpy(&value, element(r, c), sizeof(double));
      *to++ = static_cast<float>(value);
    }
  }
  return {};
}

// The grid of a numpy array of `dimensions` dimensions and a native float32
// or float64 dtype. A numpy array is read through its array interface
// rather than the buffer protocol: numpy keeps a description of every
// buffer it exports until the array goes (about 80 bytes per row, a sixth
// of a 128-float row's own). `capsule` keeps the interface alive.
Result<std::optional<Grid>> numpy_grid(PyObject* object, int dimensions, Ref& capsule) noexcept {
  capsule = Ref::steal(PyObject_GetAttrString(object, "__array_struct__"));
  const auto* array = capsule && PyCapsule_CheckExact(capsule.get())
                          ? static_cast<const ArrayInterface*>(PyCapsule_GetPointer(capsule.get(), nullptr))
                          : nullptr;
  if (array == nullptr) {
    if (PyErr_Occurred()) TRY(discard_pending_error());  // iterating will report whatever is wrong
    return std::optional<Grid>();
  }
  if (dimensions == 2 && array->two == 2 && array->nd > 2) {
    return Error::type_error(Message("a batch of vectors has two dimensions, not ") << array->nd);
  }
  if (array->two != 2 || array->nd != dimensions || array->typekind != 'f' ||
      (array->flags & kNotSwapped) == 0 ||
      (array->itemsize != sizeof(float) && array->itemsize != sizeof(double))) {
    return std::optional<Grid>();
  }
  const std::ptrdiff_t itemsize = array->itemsize;
  const auto extent = [&](int axis) { return static_cast<std::size_t>(array->shape[axis]); };
  const auto stride = [&](int axis) {
    if (array->strides != nullptr) return static_cast<std::ptrdiff_t>(array->strides[axis]);
    return axis + 1 == array->nd ? itemsize : itemsize * static_cast<std::ptrdiff_t>(array->shape[1]);
  };
  const int last = dimensions - 1;
  return std::optional<Grid>(Grid{static_cast<const char*>(array->data), dimensions == 2 ? extent(0) : 1,
                                  extent(last), dimensions == 2 ? stride(0) : 0, stride(last),
                                  static_cast<std::size_t>(itemsize)});
}

// "f" or "d" in native byte order ('<' and '=' are native on the only
// byte order this module is built for).
char native_float_format(const char* format) {
  std::string_view text = format != nullptr ? format : "B";
  if (!text.empty() && (text.front() == '@' || text.front() == '=' || text.front() == '<')) {
    text.remove_prefix(1);
  }
  return text == "f" || text == "d" ? text.front() : '\0';
}

class HeldBuffer {
 public:
  explicit HeldBuffer(PyObject* object) noexcept : ok_(PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) == 0) {}
  ~HeldBuffer() {
    if (ok_) PyBuffer_Release(&view_);
  }
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  bool ok() const { return ok_; }
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool ok_;
};

// The grid of an array.array or memoryview of `dimensions` dimensions and
// native float32 or float64 elements, held by `buffer`.
Result<std::optional<Grid>> buffer_grid(const HeldBuffer& buffer, int dimensions) noexcept {
  if (!buffer.ok()) {
    TRY(discard_pending_error());  // iterating will report whatever is wrong
    return std::optional<Grid>();
  }
  const Py_buffer& view = buffer.view();
  const char format = native_float_format(view.format);
  if (view.ndim != dimensions || format == '\0' || view.itemsize != (format == 'f' ? 4 : 8) ||
      view.suboffsets != nullptr) {
    return std::optional<Grid>();
  }
  const int last = dimensions - 1;
  return std::optional<Grid>(Grid{static_cast<const char*>(view.buf),
                                  dimensions == 2 ? static_cast<std::size_t>(view.shape[0]) : 1,
                                  static_cast<std::size_t>(view.shape[last]),
                                  dimensions == 2 ? view.strides[0] : 0, view.strides[last],
                                  static_cast<std::size_t>(view.itemsize)});
}

// Reads the object's grid of `dimensions` dimensions into `out`, if it has
// one; `shape` gets its rows and columns.
Result<bool> read_grid(PyObject* object, int dimensions, FloatVector& out, MatrixShape& shape) noexcept {
  std::optional<Grid> grid;
  Ref capsule;                       // keeps a numpy array's interface alive
  std::optional<HeldBuffer> buffer;  // or holds another object's buffer
  if (Py_IS_TYPE(object, &PyMemoryView_Type)) {
    buffer.emplace(object);
    TRY_ASSIGN(grid, buffer_grid(*buffer, dimensions));
  } else {
    TRY_ASSIGN(const bool numpy, numpy_array.is_type_of(object));
    if (numpy) {
      TRY_ASSIGN(grid, numpy_grid(object, dimensions, capsule));
    } else {
      TRY_ASSIGN(const bool array, array_array.is_type_of(object));
      if (array) {
        buffer.emplace(object);
        TRY_ASSIGN(grid, buffer_grid(*buffer, dimensions));
      }
    }
  }
  if (!grid) return false;
  shape = {grid->rows, grid->columns};
  TRY(copy_grid(*grid, out));
  return true;
}

}  // namespace

Result<bool> read_float_buffer(PyObject* object, FloatVector& out) noexcept {
  MatrixShape shape{};
  return read_grid(object, 1, out, shape);
}

Result<bool> read_float_matrix(PyObject* object, FloatVector& out, MatrixShape& shape) noexcept {
  return read_grid(object, 2, out, shape);
}

}  // namespace tessaly
