// Fixed-length, blank-padded text: assignment pads with blanks or cuts at the
// length, comparison pads the shorter side with blanks (case matters), and
// trimmed() drops the trailing blanks.
#pragma once

#include <algorithm>
#include <array>
#include <string_view>

namespace textio {

template <int N>
class FixedText {
 public:
  FixedText() { data_.fill(' '); }
  FixedText(std::string_view value) { assign(value); }

  FixedText& operator=(std::string_view value) {
    assign(value);
    return *this;
  }

  // All N characters, trailing blanks included.
  std::string_view view() const { return std::string_view(data_.data(), N); }
  std::string_view trimmed() const {
    std::string_view v = view();
    std::size_t last = v.find_last_not_of(' ');
    return last == std::string_view::npos ? std::string_view() : v.substr(0, last + 1);
  }
  static constexpr int length() { return N; }

  // Equal when the texts agree with the shorter one padded with blanks.
  bool operator==(std::string_view other) const { return padded_equal(view(), other); }

 private:
  void assign(std::string_view value) {
    data_.fill(' ');
    std::copy_n(value.begin(), std::min<std::size_t>(value.size(), N), data_.begin());
  }
  static bool padded_equal(std::string_view a, std::string_view b) {
    if (a.size() < b.size()) std::swap(a, b);
    if (a.substr(0, b.size()) != b) return false;
    return a.find_first_not_of(' ', b.size()) == std::string_view::npos;
  }

  std::array<char, N> data_;
};

}  // namespace textio
