// Checked size arithmetic: buffer sizes derived from page headers must never
// wrap around.
#pragma once

#include <cstddef>
#include <new>

// a * b, or std::bad_alloc when the product does not fit in size_t.
inline size_t CheckedMul(size_t a, size_t b) {
  size_t r;
  if (__builtin_mul_overflow(a, b, &r)) throw std::bad_alloc();
  return r;
}

// a + b, or std::bad_alloc when the sum does not fit in size_t.
inline size_t CheckedAdd(size_t a, size_t b) {
  size_t r;
  if (__builtin_add_overflow(a, b, &r)) throw std::bad_alloc();
  return r;
}
