// The record a Vectorstore instance occupies: the object header, the engine
// store held by value, the access flag, and the buffer insert converts each
// vector into before the store copies it into its block.
#pragma once

#include "binding/access.hpp"
#include "binding/python.hpp"
#include "engine/store/vectorstore.hpp"

namespace tessaly {

struct PyVectorstore {
  PyObject_HEAD
  Vectorstore store;
  AccessFlag access;
  FloatVector row;  // used under exclusive access only
};

}  // namespace tessaly
