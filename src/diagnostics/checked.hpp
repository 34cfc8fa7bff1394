// Checked arrays and scalars. Every array element of the run data, of bvls and
// of qr is reached through these types: indexed from 1, stored column by column,
// and every subscript checked against its bounds before the access, so that a
// bad subscript ends the run with message 408 instead of touching memory.
#pragma once

#include <array>
#include <cstdint>

namespace diagnostics {

// Ends the run with message 408; `below` selects the lower-bound text.
[[noreturn]] void report_subscript(const char* array, int position, std::int64_t value,
                                   std::int64_t bound, bool below);

// Returns only if lower <= value <= upper; the lower bound is tested first.
inline void check_subscript(const char* array, int position, std::int64_t value,
                            std::int64_t lower, std::int64_t upper) {
  if (value < lower) report_subscript(array, position, value, lower, true);
  if (value > upper) report_subscript(array, position, value, upper, false);
}

// Ends the run with message 193 unless `defined`.
void check_defined(const char* qualified_name, bool defined);

// Whether a view checks its subscripts. A view without checks serves only a
// loop whose whole range has been found inside the bounds beforehand (with
// contains(), through unchecked_if below): there no subscript can fail, so
// dropping the check changes nothing but the cost.
enum class Checks { on, off };

// A view of `extent` elements of someone else's storage, indexed 1 ... extent.
// Routines receive their array arguments as views whose extent is the one
// passed in, so the check uses the bounds the routine was given.
template <typename T, Checks C = Checks::on>
class Vector {
 public:
  static constexpr Checks checks = C;
  constexpr Vector(const char* name, T* data, std::int64_t extent)
      : name_(name), data_(data), extent_(extent) {}
  T& operator()(std::int64_t i) const {
    if constexpr (C == Checks::on) check_subscript(name_, 1, i, 1, extent_);
    return data_[i - 1];
  }
  // Whether every subscript first ... last is inside the bounds; an empty
  // range touches nothing and is.
  bool contains(std::int64_t first, std::int64_t last) const {
    return first > last || (first >= 1 && last <= extent_);
  }
  Vector<T, Checks::off> unchecked() const { return {name_, data_, extent_}; }
  const char* name() const { return name_; }
  T* data() const { return data_; }
  std::int64_t extent() const { return extent_; }

 private:
  const char* name_;
  T* data_;
  std::int64_t extent_;
};

// A column-major view of rows x cols elements; the leading dimension is rows.
// The last subscript is checked first, as the run-time check prescribes.
template <typename T, Checks C = Checks::on>
class Matrix {
 public:
  static constexpr Checks checks = C;
  constexpr Matrix(const char* name, T* data, std::int64_t rows, std::int64_t cols)
      : name_(name), data_(data), rows_(rows), cols_(cols) {}
  T& operator()(std::int64_t i, std::int64_t j) const {
    if constexpr (C == Checks::on) {
      check_subscript(name_, 2, j, 1, cols_);
      check_subscript(name_, 1, i, 1, rows_);
    }
    return data_[(j - 1) * rows_ + (i - 1)];
  }
  // Whether every element of rows i0 ... i1 and columns j0 ... j1 is inside
  // the bounds; a block with no rows or no columns touches nothing and is.
  bool contains(std::int64_t i0, std::int64_t i1, std::int64_t j0, std::int64_t j1) const {
    return i0 > i1 || j0 > j1 || (i0 >= 1 && i1 <= rows_ && j0 >= 1 && j1 <= cols_);
  }
  Matrix<T, Checks::off> unchecked() const { return {name_, data_, rows_, cols_}; }
  const char* name() const { return name_; }
  T* data() const { return data_; }
  std::int64_t rows() const { return rows_; }
  std::int64_t cols() const { return cols_; }

 private:
  const char* name_;
  T* data_;
  std::int64_t rows_;
  std::int64_t cols_;
};

// Runs body(views...) once, with views that skip their checks when `inside`
// (the caller has found every subscript the body will use inside the bounds,
// once, before the loop), and otherwise with the views as they are, so that
// the first bad subscript ends the run with its message at the very access it
// always would. The body is written once, as a generic lambda, for both.
template <typename Body, typename... Views>
decltype(auto) unchecked_if(bool inside, Body&& body, const Views&... views) {
  if (inside) return body(views.unchecked()...);
  return body(views...);
}

// Says that an array has static storage duration, as the run data has: its
// storage is zero before the program starts (in .bss, so the zeros cost
// nothing), and its constructor only sets the name instead of clearing half
// a megabyte again at every start.
struct StaticStorage {};
inline constexpr StaticStorage static_storage{};

// An array of fixed extent that owns its storage, zero at start.
template <typename T, int N>
class FixedVector {
 public:
  explicit FixedVector(const char* name) : name_(name), storage_{} {}
  // Only for an array of static storage duration (see StaticStorage).
  FixedVector(const char* name, StaticStorage) : name_(name) {}
  T& operator()(std::int64_t i) {
    check_subscript(name_, 1, i, 1, N);
    return storage_[i - 1];
  }
  const T& operator()(std::int64_t i) const {
    check_subscript(name_, 1, i, 1, N);
    return storage_[i - 1];
  }
  Vector<T> view() { return Vector<T>(name_, storage_.data(), N); }
  T* data() { return storage_.data(); }
  const char* name() const { return name_; }
  static constexpr int extent() { return N; }

 private:
  const char* name_;
  std::array<T, N> storage_;
};

// A column-major rows x cols array of fixed extent that owns its storage.
template <typename T, int Rows, int Cols>
class FixedMatrix {
 public:
  explicit FixedMatrix(const char* name) : name_(name), storage_{} {}
  // Only for an array of static storage duration (see StaticStorage).
  FixedMatrix(const char* name, StaticStorage) : name_(name) {}
  T& operator()(std::int64_t i, std::int64_t j) {
    check_subscript(name_, 2, j, 1, Cols);
    check_subscript(name_, 1, i, 1, Rows);
    return storage_[(j - 1) * Rows + (i - 1)];
  }
  const T& operator()(std::int64_t i, std::int64_t j) const {
    check_subscript(name_, 2, j, 1, Cols);
    check_subscript(name_, 1, i, 1, Rows);
    return storage_[(j - 1) * Rows + (i - 1)];
  }
  Matrix<T> view() { return Matrix<T>(name_, storage_.data(), Rows, Cols); }
  T* data() { return storage_.data(); }
  const char* name() const { return name_; }
  static constexpr int rows() { return Rows; }
  static constexpr int cols() { return Cols; }

 private:
  const char* name_;
  std::array<T, static_cast<std::size_t>(Rows) * Cols> storage_;
};

// A scalar that must be given a value before it is used: reading it while its
// defined flag is clear ends the run with message 193 and its qualified name.
template <typename T>
class CheckedScalar {
 public:
  explicit CheckedScalar(const char* qualified_name) : name_(qualified_name) {}
  CheckedScalar& operator=(T value) {
    value_ = value;
    defined_ = true;
    return *this;
  }
  T get() const {
    check_defined(name_, defined_);
    return value_;
  }
  void clear() { defined_ = false; }
  bool defined() const { return defined_; }

 private:
  const char* name_;
  T value_{};
  bool defined_ = false;
};

}  // namespace diagnostics
