// The record a Vectorstore instance occupies: the object header, the engine
// store held by value, and the access flag.
#pragma once

#include "binding/access.hpp"
#include "binding/python.hpp"
#include "engine/vectorstore.hpp"

namespace tessaly {

struct PyVectorstore {
  PyObject_HEAD
  Vectorstore store;
  AccessFlag access;
};

}  // namespace tessaly
