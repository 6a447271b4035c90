// A fixed-capacity byte string: a length and room for N octets, copied by assignment.
// Assigning a longer value keeps the first N octets.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace zb {

template <int N>
class ShortString {
 public:
  ShortString() = default;
  ShortString(std::string_view s) { Assign(s); }
  ShortString& operator=(std::string_view s) {
    Assign(s);
    return *this;
  }
  template <int M>
  ShortString& operator=(const ShortString<M>& other) {
    Assign(other.view());
    return *this;
  }
  void Assign(std::string_view s) {
    len_ = static_cast<uint8_t>(s.size() < N ? s.size() : N);
    std::memcpy(data_, s.data(), len_);
  }
  void Clear() { len_ = 0; }
  int size() const { return len_; }
  bool empty() const { return len_ == 0; }
  static constexpr int capacity() { return N; }
  const char* data() const { return data_; }
  std::string_view view() const { return std::string_view(data_, len_); }
  std::string str() const { return std::string(data_, len_); }
  operator std::string_view() const { return view(); }
  bool operator==(std::string_view s) const { return view() == s; }
  template <int M>
  bool operator==(const ShortString<M>& o) const {
    return view() == o.view();
  }

 private:
  uint8_t len_ = 0;
  char data_[N] = {};
};

}  // namespace zb
