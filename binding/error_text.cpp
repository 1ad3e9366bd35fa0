#include "binding/error_text.hpp"

#include "binding/utf8.hpp"
#include "engine/base/failure_report.hpp"

namespace tessaly {

ErrorText& ErrorText::operator<<(Ref piece) & noexcept {
  if (piece_count_ == kMaxPieces) return *this;
  piece_at_[piece_count_] = fixed_.view().size();
  pieces_[piece_count_] = std::move(piece);
  ++piece_count_;
  return *this;
}

Ref ErrorText::to_str() const noexcept {
  PyUnicodeWriter* writer = PyUnicodeWriter_Create(0);
  if (writer == nullptr) return {};
  const std::string_view text = fixed_.view();
  std::size_t written = 0;
  for (std::size_t i = 0; i < piece_count_; ++i) {
    if (PyUnicodeWriter_WriteUTF8(writer, text.data() + written,
                                  static_cast<Py_ssize_t>(piece_at_[i] - written)) < 0 ||
        (pieces_[i] && PyUnicodeWriter_WriteStr(writer, pieces_[i].get()) < 0)) {
      PyUnicodeWriter_Discard(writer);
      return {};
    }
    written = piece_at_[i];
  }
  if (PyUnicodeWriter_WriteUTF8(writer, text.data() + written,
                                static_cast<Py_ssize_t>(text.size() - written)) < 0) {
    PyUnicodeWriter_Discard(writer);
    return {};
  }
  return Ref::steal(PyUnicodeWriter_Finish(writer));
}

void ErrorText::write_report(std::source_location where) const noexcept {
  const std::string_view text = fixed_.view();
  if (piece_count_ == 0) {
    write_failure_report(text, where);
    return;
  }
  write_failure_report(text.substr(0, piece_at_[0]), where, utf8_or_empty(pieces_[0].get()),
                       text.substr(piece_at_[0]));
}

}  // namespace tessaly
