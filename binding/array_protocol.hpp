// Objects that are arrays by protocol only: they have __array__ (data
// frames, numpy.matrix, dask arrays) but are not numpy arrays themselves.
// Iterating one goes element by element, and some do not iterate as rows
// at all (a data frame yields its column labels), so the methods that take
// arrays convert it once with numpy.asarray and read the array it gives.
#pragma once

#include "binding/error.hpp"
#include "binding/python.hpp"
#include "binding/ref.hpp"

namespace tessaly {

// numpy.asarray(object) when the object is an array by protocol only;
// null for any other object (a masked array too), and when numpy cannot be
// imported (the object is then read as any other). The conversion's own
// error is the result.
Result<Ref> array_by_protocol(PyObject* object) noexcept;

}  // namespace tessaly
