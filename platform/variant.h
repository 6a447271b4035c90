// The automation Variant: the value type of every host call and of the tagged value lists.
// Texts are byte strings (std::string; zero bytes allowed). Arrays are one-dimensional with any
// lower bound, like safe arrays. Conversions mirror the platform's Variant conversions; the
// Try* forms report failure, the plain forms throw VariantError.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace zb {

class VariantError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Variant {
 public:
  enum class Type { Empty, Integer, Real, Boolean, Text, Array, Octets };

  Variant() = default;
  Variant(int32_t v) : type_(Type::Integer), int_(v) {}
  Variant(double v) : type_(Type::Real), real_(v) {}
  Variant(bool v) : type_(Type::Boolean), bool_(v) {}
  Variant(std::string v) : type_(Type::Text), text_(std::move(v)) {}
  Variant(const char* v) : type_(Type::Text), text_(v ? v : "") {}

  // A safe array with bounds low..high (high < low gives an empty array); elements start Empty.
  static Variant MakeArray(int low, int high);
  // A zero-based array of the given elements.
  static Variant MakeList(std::vector<Variant> items);
  // An octet array (trend data); the octets are kept as a byte string.
  static Variant MakeOctets(std::string octets);

  Type type() const { return type_; }
  bool IsEmpty() const { return type_ == Type::Empty; }
  bool IsArray() const { return type_ == Type::Array; }
  bool IsText() const { return type_ == Type::Text; }
  bool IsOctets() const { return type_ == Type::Octets; }

  // Array access. Bounds are those of the array; out-of-range access throws VariantError.
  int LowBound() const;
  int HighBound() const;
  int Count() const;  // number of elements; 0 for a non-array
  Variant& At(int index);
  const Variant& At(int index) const;
  Variant& operator[](int index) { return At(index); }
  const Variant& operator[](int index) const { return At(index); }
  // Grows or shrinks the array to the new upper bound, keeping the elements that remain.
  void Redim(int high);
  void Append(Variant v);  // Redim(HighBound() + 1) and set the new last element
  const std::vector<Variant>& Elements() const;

  // Raw accessors (valid only for the matching type).
  int32_t AsIntRaw() const { return int_; }
  double AsRealRaw() const { return real_; }
  bool AsBoolRaw() const { return bool_; }
  const std::string& AsTextRaw() const { return text_; }  // Text and Octets

  // Conversions as the platform performs them.
  // Text: Empty → "", Integer → decimal, Real → shortest of up to 15 significant digits,
  // Boolean → "True"/"False", Text → itself; arrays and octet arrays do not convert.
  bool TryToText(std::string& out) const;
  // Integer: Empty → 0, Real → rounded half to even (fails outside 32 bits), Boolean → -1/0,
  // Text → an integer or real number text (blanks around allowed, real rounded).
  bool TryToInt(int32_t& out) const;
  // Real: Empty → 0, Integer, Boolean → -1/0, Text → a number text.
  bool TryToReal(double& out) const;
  // Boolean: Empty → false, numbers → non-zero, Text → "true"/"false" in any case or a number.
  bool TryToBool(bool& out) const;

  std::string ToText() const;
  int32_t ToInt() const;
  double ToReal() const;
  bool ToBool() const;

  bool operator==(const Variant& other) const;
  bool operator!=(const Variant& other) const { return !(*this == other); }

  // Debug rendering, e.g. [1, 12, 8, 135] or "text" (not a conversion).
  std::string Describe() const;

 private:
  Type type_ = Type::Empty;
  int32_t int_ = 0;
  double real_ = 0;
  bool bool_ = false;
  std::string text_;
  int low_ = 0;
  std::shared_ptr<std::vector<Variant>> items_;  // copy-on-write array storage
  void Unshare();
};

}  // namespace zb
