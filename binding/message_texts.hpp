// The texts callers see from the binding, written once: its errors and a
// store's repr.
//
// Callers match these texts (the README documents them), so each is part
// of the module's behaviour: keep every character, spaces and punctuation
// included. Texts with holes are written whole here, as small functions
// that fill them in. The engine's texts, and the one text both layers use,
// are in engine/base/message_texts.hpp, which comes with this table.
#pragma once

#include <cstddef>
#include <span>

#include "binding/error_text.hpp"
#include "binding/python.hpp"
#include "binding/ref.hpp"
#include "engine/base/message.hpp"
#include "engine/base/message_texts.hpp"

namespace tessaly {

// --- The access rule (access.hpp): RuntimeError ------------------------------

// insert or append while any other call on the store is in progress.
// Compatibility wording: callers rely on the exact text.
inline constexpr const char* kAlreadyBorrowed = "Already borrowed";
// Any other call while insert or append is in progress.
// Compatibility wording: callers rely on the exact text.
inline constexpr const char* kAlreadyMutablyBorrowed = "Already mutably borrowed";

// --- Conversions -------------------------------------------------------------

// TypeError: a str given where a vector (or a sequence of them) goes.
// Compatibility wording: callers rely on the exact text.
inline constexpr const char* kStrIsNotAVector = "Can't extract `str` to `Vec`";

// OverflowError: an int that fits u64 but not the platform's size type.
// Compatibility wording: callers rely on the exact text.
inline constexpr const char* kOutOfRangeIntegral = "out of range integral type conversion attempted";

// PanicException: a length hint too large for the address space.
// Compatibility wording: callers rely on the exact text.
inline constexpr const char* kCapacityOverflow = "capacity overflow";

// ValueError: "expected tuple of length 2, but got tuple of length N", a
// pair of the constructor. Compatibility wording: callers rely on the exact text.
inline Message tuple_length_text(Py_ssize_t length) noexcept {
  return Message("expected tuple of length 2, but got tuple of length ") << length;
}

// ValueError: "vectors have different dimensions (A vs B)", cosine_similarity.
inline Message different_dimensions_text(std::size_t first, std::size_t second) noexcept {
  return Message("vectors have different dimensions (") << first << " vs " << second << ")";
}

// TypeError: "a batch of vectors has two dimensions, not N", a numpy array
// of more dimensions given as a batch.
inline Message batch_dimensions_text(int dimensions) noexcept {
  return Message("a batch of vectors has two dimensions, not ") << dimensions;
}

// --- Shapes of batches and ids (batch_shape.hpp): TypeError -------------------
// Each follows "argument 'vectors': " (or 'ids'), says what was expected,
// what was given, and how to mend the usual mistake.

// "(3,)", "(2, 4)", "()": a shape as numpy prints it.
inline Message& operator<<(Message& text, std::span<const Py_intptr_t> shape) noexcept {
  text << "(";
  for (std::size_t i = 0; i < shape.size(); ++i) text << (i == 0 ? "" : ", ") << shape[i];
  return text << (shape.size() == 1 ? ",)" : ")");
}

inline constexpr const char* kBatchExpected = "expected a 2-D array of shape (n, vector_size)";

// A numpy array of one dimension or none given as a batch: "expected a 2-D
// array of shape (n, vector_size), got a 1-D array of shape (3,); reshape a
// single vector with vector.reshape(1, -1)".
inline Message batch_shape_text(std::span<const Py_intptr_t> shape) noexcept {
  Message text(kBatchExpected);
  text << ", got a " << shape.size() << "-D array of shape ";
  text << shape;
  return text << (shape.size() == 1 ? "; reshape a single vector with vector.reshape(1, -1)"
                                    : "; give the vectors as the rows of a 2-D array");
}
// Something that is no sequence given as a batch: "expected a 2-D array of
// shape (n, vector_size) or a sequence of vectors, got 'int' object".
inline ErrorText not_a_batch_text(Ref type_name) noexcept {
  return ErrorText(kBatchExpected) << " or a sequence of vectors, got '" << std::move(type_name) << "' object";
}
// A batch whose first item is a number: "expected a 2-D array of shape (n,
// vector_size) or a sequence of vectors, got a sequence of 'float' objects;
// give a single vector as [vector]".
inline ErrorText one_vector_batch_text(Ref item_type_name) noexcept {
  return ErrorText(kBatchExpected) << " or a sequence of vectors, got a sequence of '" << std::move(item_type_name)
                                   << "' objects; give a single vector as [vector]";
}
// An array-like (not numpy's own array) whose iteration gives no vectors,
// as a data frame gives its column labels: "expected a 2-D array of shape
// (n, vector_size) or a sequence of vectors, got 'DataFrame' object, whose
// items are 'int' objects; convert it with numpy.asarray(vectors)".
inline ErrorText array_like_batch_text(Ref type_name, Ref item_type_name) noexcept {
  return ErrorText(kBatchExpected) << " or a sequence of vectors, got '" << std::move(type_name)
                                   << "' object, whose items are '" << std::move(item_type_name)
                                   << "' objects; convert it with numpy.asarray(vectors)";
}
// A later item that is no vector: "expected a vector (a sequence of numbers)
// as row 3, got 'int' object".
inline ErrorText batch_row_text(std::size_t index, Ref item_type_name) noexcept {
  return ErrorText("expected a vector (a sequence of numbers) as row ") << index << ", got '"
                                                                      << std::move(item_type_name) << "' object";
}
// A numpy array of ids of other than one dimension: "expected a 1-D array of
// ids of shape (n,), got a 2-D array of shape (3, 1); flatten it with
// ids.ravel()".
inline Message id_shape_text(std::span<const Py_intptr_t> shape) noexcept {
  Message text("expected a 1-D array of ids of shape (n,), got a ");
  text << shape.size() << "-D array of shape ";
  text << shape;
  return text << (shape.empty() ? "; give ids as a sequence, [id]" : "; flatten it with ids.ravel()");
}

// search_arrays' where= of another dtype: "expected a 1-D array of
// booleans, one per entry (a numpy bool array or a list of bools), got an
// array of dtype int64; make one by comparing, as numpy.isin(ids, allowed)
// or values > 0".
inline ErrorText where_dtype_text(Ref dtype) noexcept {
  return ErrorText("expected a 1-D array of booleans, one per entry (a numpy bool array or a list of bools), "
                   "got an array of dtype ")
         << std::move(dtype) << "; make one by comparing, as numpy.isin(ids, allowed) or values > 0";
}
// ValueError: "where must be a 1-D array of booleans, got a 2-D array of
// shape (3, 4); flatten it with where.ravel()".
inline Message where_shape_text(std::span<const Py_intptr_t> shape) noexcept {
  Message text("where must be a 1-D array of booleans, got a ");
  text << shape.size() << "-D array of shape ";
  text << shape;
  return text << (shape.empty() ? "; give one boolean per entry, as a list or an array" : "; flatten it with where.ravel()");
}
// ValueError: "where has 5 entries but the store has 10; give one boolean
// per entry, in insertion order".
inline Message where_length_text(std::size_t given, std::size_t entries) noexcept {
  Message text("where has ");
  text << given << " entries but the store has " << entries << "; give one boolean per entry, in insertion order";
  return text;
}

// ValueError: "ids has N entries but vectors has M rows" (from_array, append).
inline Message id_count_text(std::size_t ids, std::size_t rows) noexcept {
  return Message("ids has ") << ids << " entries but vectors has " << rows << " rows";
}

// from_array's first_pass, neither "int8" nor None: ValueError for another
// str, "first_pass must be 'int8' or None, not 'int4'"; TypeError (after
// "argument 'first_pass': ") for another type, "must be 'int8' or None, not
// int".
inline ErrorText first_pass_value_text(Ref given_repr) noexcept {
  return ErrorText("first_pass must be 'int8' or None, not ") << std::move(given_repr);
}
inline ErrorText first_pass_type_text(Ref type_name) noexcept {
  return ErrorText("must be 'int8' or None, not ") << std::move(type_name);
}
// What a store's first_pass property gives for one with the int8 copy.
inline constexpr const char* kInt8FirstPass = "int8";

// ValueError: from_array of an empty sequence, which has no width.
inline constexpr const char* kFromArrayNeedsARow =
    "from_array needs at least one row to know the vector size; "
    "for an empty store, call Vectorstore(vector_size)";

// ImportError: "search_arrays returns numpy arrays, but numpy cannot be
// imported: WHY", the method that returns them named first, WHY the text
// of numpy's own ImportError.
inline ErrorText numpy_missing_text(const char* method, Ref why) noexcept {
  return ErrorText(method) << " returns numpy arrays, but numpy cannot be imported: " << std::move(why);
}

// --- Objects of the wrong kind (wrong_kind.hpp): TypeError --------------------

// "'T' object is not an instance of 'C'", T and C qualified names.
inline ErrorText not_instance_text(Ref type_name, Ref class_name) noexcept {
  return ErrorText("'") << std::move(type_name) << "' object is not an instance of '"
                        << std::move(class_name) << "'";
}
// "'None' is not an instance of 'C'".
inline ErrorText none_not_instance_text(Ref class_name) noexcept {
  return ErrorText("'None' is not an instance of '") << std::move(class_name) << "'";
}
// The class named for a non-sequence while collections.abc.Sequence is
// still being imported.
inline constexpr const char* kSequenceName = "Sequence";
// PanicException: "could not look up collections.abc.Sequence: WHY".
inline ErrorText sequence_lookup_text(Ref why) noexcept {
  return ErrorText("could not look up collections.abc.Sequence: ") << std::move(why);
}

// Stand-ins for text that cannot be had: "<unprintable T object>" (a format
// for PyUnicode_FromFormat, given T's name), and when even that fails.
inline constexpr const char* kUnprintableFormat = "<unprintable %U object>";
inline constexpr const char* kUnprintable = "<unprintable object>";
inline constexpr const char* kNoTypeName = "<failed to extract type name>";

// --- Matching arguments (arguments.hpp): TypeError -----------------------------
// In the interpreter's own words for its functions. F is the function as
// called: "cosine_similarity()" or "Vectorstore.search()".

// "C.F()", or "F()" for a module-level function (class_name null).
inline Message function_text(const char* class_name, const char* function_name) noexcept {
  Message name;
  if (class_name != nullptr) name << class_name << ".";
  return name << function_name << "()";
}

// "F() takes N positional arguments but M were given"; N is "from A to B"
// when some are optional, and one given "was".
inline Message too_many_positional_text(const Message& function, std::size_t required,
                                        std::size_t parameters, std::size_t given) noexcept {
  Message text = function;
  text << " takes ";
  if (required == parameters) {
    text << parameters;
  } else {
    text << "from " << required << " to " << parameters;
  }
  return text << " positional arguments but " << given << " " << (given == 1 ? "was" : "were") << " given";
}

// "F() got an unexpected keyword argument 'K'".
inline ErrorText unexpected_keyword_text(const Message& function, Ref keyword) noexcept {
  return ErrorText(function) << " got an unexpected keyword argument '" << std::move(keyword) << "'";
}

// "F() got multiple values for argument 'P'".
inline Message multiple_values_text(const Message& function, const char* parameter) noexcept {
  return Message(function) << " got multiple values for argument '" << parameter << "'";
}

// "F() missing N required positional argument(s): L", L the names quoted:
// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
inline Message missing_arguments_text(const Message& function, std::span<const char* const> names) noexcept {
  Message text = function;
  text << " missing " << names.size() << " required positional "
       << (names.size() == 1 ? "argument" : "arguments") << ": ";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text << (names.size() == 2 ? " and " : i + 1 == names.size() ? ", and " : ", ");
    text << "'" << names[i] << "'";
  }
  return text;
}

// A conversion's TypeError, given the argument's name: "argument 'P': TEXT"
// (a format for PyUnicode_FromFormat, given P and the original text).
inline constexpr const char* kArgumentErrorFormat = "argument '%s': %U";

// --- The module and its class --------------------------------------------------

// "Vectorstore(vector_size=N, len=M)", repr of a store.
inline Message vectorstore_repr_text(std::size_t vector_size, std::size_t length) noexcept {
  return Message("Vectorstore(vector_size=") << vector_size << ", len=" << length << ")";
}

// AttributeError: "module 'M' has no attribute 'A'", a name the module
// lacks, in the interpreter's own words (a format for PyUnicode_FromFormat,
// given M and A).
inline constexpr const char* kMissingAttributeFormat = "module '%U' has no attribute '%U'";

// ImportError: the module imported in a subinterpreter.
inline constexpr const char* kSubinterpretersRefused =
    "module tessaly does not support loading in subinterpreters";

// PanicException: the Vectorstore class could not be made for a receiver
// check. Compatibility wording: callers rely on the exact text.
inline constexpr const char* kClassInitFailed = "An error occurred while initializing class Vectorstore";

// PanicException: the module's __all__ could not take a name.
inline constexpr const char* kCannotAppendToAll = "could not append __name__ to __all__";

// PanicException: numpy.empty gave something other than the new array asked
// for (numpy.empty replaced by a function that makes another).
inline constexpr const char* kEmptyMadeNoArray =
    "numpy.empty made no aligned, writeable, C-contiguous array of the dtype and shape asked for";

// --- At the boundary with the interpreter (error.hpp, entry_frame.hpp) ---------

// PanicException: the interpreter could not make an object a call cannot
// do without. Compatibility wording: callers rely on the exact text.
inline constexpr const char* kNullObject = "PyObject pointer is null";

// SystemError: a C API call reported failure but set no exception.
// Compatibility wording: callers rely on the exact text.
inline constexpr const char* kFetchedNothing = "attempted to fetch exception but none was set";

// SystemError: the engine stopped at a caller's request that no exception
// explains (its cause travels on its own: long_call.hpp).
inline constexpr const char* kInterruptedWithoutCause = "native code was interrupted without an exception";

// PanicException: a PanicException raised again by Python code whose str()
// fails. Compatibility wording: callers rely on the exact text.
inline constexpr const char* kUnwrappedPanic = "Unwrapped panic from Python code";

// Standard error, before the traceback of a PanicException raised again by
// Python code.
inline constexpr const char* kResumingPanicBanner =
    "tessaly: resuming an internal failure raised as PanicException in Python code\n"
    "Python stack trace below:\n";

// TypeError: the class an error names is not an exception class.
// Compatibility wording: callers rely on the exact text.
inline constexpr const char* kNotAnExceptionClass = "exceptions must derive from BaseException";

// Failure reports before the process aborts: PanicException itself could
// not be made, so a failure cannot be raised. Compatibility wording: callers
// rely on the exact text.
inline constexpr const char* kPanicTypeNotMade = "Failed to initialize new exception type.";
inline constexpr const char* kUncaughtPanic = "uncaught panic at ffi boundary";

}  // namespace tessaly
