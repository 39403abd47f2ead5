// Conversions between Python objects and the plain values the operations take and give.
// Arguments are read in place: nothing is copied or allocated when a conversion succeeds.
#pragma once

#include <cstdint>
#include <vector>

#include "bio_windows.h"
#include "module/py_err.h"

namespace bio {

// The str's own cached UTF-8 form (a NUL is an ordinary byte), or the type mismatch
// "PyString", or the interpreter's UnicodeEncodeError for a lone surrogate.
PyResult<TextView> text_from_object(PyObject* object);

// The bytes object's own buffer; bytes and its subclasses only ("PyBytes").
PyResult<ByteView> bytes_from_object(PyObject* object);

// setup's result.
PyRef true_result();

// True or False; None.
PyRef bool_result(bool value);
PyRef none_result();

// A new str of the ASCII text.
PyRef str_result(const char* text);

// A new bytes object with a copy of the bytes, which are consumed.
PyRef bytes_from_vector(std::vector<std::uint8_t>&& bytes);

// A new list with one int (0..255) per byte, built at its final length.
PyRef list_from_bytes(std::vector<std::uint8_t>&& bytes);

}  // namespace bio
