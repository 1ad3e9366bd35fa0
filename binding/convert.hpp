// Conversions between Python values and engine values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "binding/error.hpp"
#include "binding/python.hpp"
#include "engine/vectorstore.hpp"

namespace tessaly {

// Any object that passes the sequence check (str excepted) and yields
// numbers, each narrowed to float with round-to-nearest-even.
Result<FloatVector> to_float_vector(PyObject* object);
Result<float> to_float32(PyObject* object);

// An int (or an object with __index__) in [0, 2**64).
Result<std::uint64_t> to_u64(PyObject* object);
// An identifier that also fits the platform's size type.
Result<std::size_t> to_size(PyObject* object);
// Null (not given) or None mean absent.
Result<std::optional<std::size_t>> to_optional_size(PyObject* object);

// A sequence of 2-tuples (vector, identifier), every one converted.
Result<std::vector<VectorPair>> to_vector_pairs(PyObject* object);
// Null (not given) or None mean an empty list.
Result<std::vector<VectorPair>> to_optional_vector_pairs(PyObject* object);

Ref score_to_python(float score);
// A new list of (float, int) tuples, made at its final length.
Ref results_to_python(std::span<const ResultPair> results);

}  // namespace tessaly
