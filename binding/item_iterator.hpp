// Iterating a Python object, one item at a time or all of them.
#pragma once

#include "binding/error.hpp"
#include "binding/python.hpp"
#include "binding/ref.hpp"

namespace tessaly {

class ItemIterator {
 public:
  // The object's iterator (iter(object)).
  static Result<ItemIterator> of(PyObject* object) noexcept {
    Ref iterator = Ref::steal(PyObject_GetIter(object));
    if (!iterator) return Error::fetch();
    return ItemIterator(std::move(iterator));
  }

  // The next item; null once they have run out (ask no more after that).
  Result<Ref> next() noexcept {
    PyObject* item = nullptr;
    const int status = PyIter_NextItem(iterator_.get(), &item);
    if (status < 0) return Error::fetch();
    return Ref::steal(item);
  }

 private:
  explicit ItemIterator(Ref iterator) noexcept : iterator_(std::move(iterator)) {}

  Ref iterator_;
};

// Calls convert(item) for every item the object's iterator yields.
template <class Convert>
Result<void> for_each_item(PyObject* object, Convert convert) noexcept {
  TRY_ASSIGN(ItemIterator items, ItemIterator::of(object));
  for (;;) {
    TRY_ASSIGN(const Ref item, items.next());
    if (!item) return {};
    TRY(convert(item.get()));
  }
}

}  // namespace tessaly
