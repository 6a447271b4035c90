#include "platform/variant.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "support/number_text.h"

namespace zb {
namespace {

// Arrays beyond this many elements are refused rather than allocated (a hostile bound pair
// must not exhaust memory).
constexpr int64_t kMaxElements = int64_t{1} << 24;

const std::vector<Variant>& EmptyElements() {
  static const std::vector<Variant> empty;
  return empty;
}

constexpr std::string_view kBlanks = " \t";
bool IsBlank(char c) { return kBlanks.find(c) != std::string_view::npos; }

// Tabs count as blanks here, and a value out of double range (either way) is refused.
bool ParseNumberText(const std::string& s, double& out) {
  std::string t;
  if (!ScanDecimalText(s, kBlanks, t)) return false;
  double v = 0;
  auto r = std::from_chars(t.data(), t.data() + t.size(), v);
  if (r.ec != std::errc() || r.ptr != t.data() + t.size()) return false;
  if (!std::isfinite(v)) return false;
  out = v;
  return true;
}

// Round half to even, as the platform's Variant conversion does; fails outside 32 bits.
bool RealToInt(double v, int32_t& out) {
  if (!std::isfinite(v)) return false;
  double r = std::floor(v);
  double frac = v - r;
  if (frac > 0.5 || (frac == 0.5 && std::fmod(r, 2.0) != 0)) r += 1;
  if (r < -2147483648.0 || r > 2147483647.0) return false;
  out = static_cast<int32_t>(r);
  return true;
}

}  // namespace

Variant Variant::MakeArray(int low, int high) {
  Variant v;
  v.type_ = Type::Array;
  v.low_ = low;
  int64_t n = int64_t{high} - low + 1;
  if (n < 0) n = 0;
  if (n > kMaxElements) throw VariantError("array too large");
  v.items_ = std::make_shared<std::vector<Variant>>(static_cast<size_t>(n));
  return v;
}

Variant Variant::MakeList(std::vector<Variant> items) {
  if (static_cast<int64_t>(items.size()) > kMaxElements) throw VariantError("array too large");
  Variant v;
  v.type_ = Type::Array;
  v.low_ = 0;
  v.items_ = std::make_shared<std::vector<Variant>>(std::move(items));
  return v;
}

Variant Variant::MakeOctets(std::string octets) {
  Variant v;
  v.type_ = Type::Octets;
  v.text_ = std::move(octets);
  return v;
}

void Variant::Unshare() {
  if (items_ && items_.use_count() > 1) items_ = std::make_shared<std::vector<Variant>>(*items_);
}

int Variant::LowBound() const {
  if (type_ != Type::Array) throw VariantError("not an array");
  return low_;
}

int Variant::HighBound() const {
  if (type_ != Type::Array) throw VariantError("not an array");
  return static_cast<int>(int64_t{low_} + static_cast<int64_t>(items_->size()) - 1);
}

int Variant::Count() const { return type_ == Type::Array ? static_cast<int>(items_->size()) : 0; }

Variant& Variant::At(int index) {
  if (type_ != Type::Array) throw VariantError("not an array");
  int64_t i = int64_t{index} - low_;
  if (i < 0 || i >= static_cast<int64_t>(items_->size()))
    throw VariantError("array index out of bounds");
  Unshare();
  return (*items_)[static_cast<size_t>(i)];
}

const Variant& Variant::At(int index) const {
  if (type_ != Type::Array) throw VariantError("not an array");
  int64_t i = int64_t{index} - low_;
  if (i < 0 || i >= static_cast<int64_t>(items_->size()))
    throw VariantError("array index out of bounds");
  return (*items_)[static_cast<size_t>(i)];
}

void Variant::Redim(int high) {
  if (type_ != Type::Array) throw VariantError("not an array");
  int64_t n = int64_t{high} - low_ + 1;
  if (n < 0) n = 0;
  if (n > kMaxElements) throw VariantError("array too large");
  Unshare();
  items_->resize(static_cast<size_t>(n));
}

void Variant::Append(Variant v) {
  if (type_ != Type::Array) throw VariantError("not an array");
  int64_t n = static_cast<int64_t>(items_->size()) + 1;
  if (n > kMaxElements || int64_t{low_} + n - 1 > std::numeric_limits<int>::max())
    throw VariantError("array too large");
  Unshare();
  items_->push_back(std::move(v));
}

const std::vector<Variant>& Variant::Elements() const {
  return type_ == Type::Array ? *items_ : EmptyElements();
}

bool Variant::TryToText(std::string& out) const {
  switch (type_) {
    case Type::Empty:
      out.clear();
      return true;
    case Type::Integer:
      out = std::to_string(int_);
      return true;
    case Type::Real:
      out = RealToText(real_);
      return true;
    case Type::Boolean:
      out = bool_ ? "True" : "False";
      return true;
    case Type::Text:
      out = text_;
      return true;
    case Type::Array:
    case Type::Octets:
      return false;
  }
  return false;
}

bool Variant::TryToInt(int32_t& out) const {
  switch (type_) {
    case Type::Empty:
      out = 0;
      return true;
    case Type::Integer:
      out = int_;
      return true;
    case Type::Real:
      return RealToInt(real_, out);
    case Type::Boolean:
      out = bool_ ? -1 : 0;
      return true;
    case Type::Text: {
      double d;
      return ParseNumberText(text_, d) && RealToInt(d, out);
    }
    case Type::Array:
    case Type::Octets:
      return false;
  }
  return false;
}

bool Variant::TryToReal(double& out) const {
  switch (type_) {
    case Type::Empty:
      out = 0;
      return true;
    case Type::Integer:
      out = int_;
      return true;
    case Type::Real:
      out = real_;
      return true;
    case Type::Boolean:
      out = bool_ ? -1 : 0;
      return true;
    case Type::Text:
      return ParseNumberText(text_, out);
    case Type::Array:
    case Type::Octets:
      return false;
  }
  return false;
}

bool Variant::TryToBool(bool& out) const {
  switch (type_) {
    case Type::Empty:
      out = false;
      return true;
    case Type::Integer:
      out = int_ != 0;
      return true;
    case Type::Real:
      out = real_ != 0;
      return true;
    case Type::Boolean:
      out = bool_;
      return true;
    case Type::Text: {
      size_t b = 0, e = text_.size();
      while (b < e && IsBlank(text_[b])) ++b;
      while (e > b && IsBlank(text_[e - 1])) --e;
      std::string w;
      for (size_t i = b; i < e; ++i)
        w.push_back(text_[i] >= 'a' && text_[i] <= 'z' ? static_cast<char>(text_[i] - 32)
                                                       : text_[i]);
      if (w == "TRUE") return out = true, true;
      if (w == "FALSE") return out = false, true;
      double d;
      if (!ParseNumberText(text_, d)) return false;
      out = d != 0;
      return true;
    }
    case Type::Array:
    case Type::Octets:
      return false;
  }
  return false;
}

std::string Variant::ToText() const {
  std::string s;
  if (!TryToText(s)) throw VariantError("Variant does not convert to text");
  return s;
}

int32_t Variant::ToInt() const {
  int32_t v = 0;
  if (!TryToInt(v)) throw VariantError("Variant does not convert to an integer");
  return v;
}

double Variant::ToReal() const {
  double v = 0;
  if (!TryToReal(v)) throw VariantError("Variant does not convert to a real");
  return v;
}

bool Variant::ToBool() const {
  bool v = false;
  if (!TryToBool(v)) throw VariantError("Variant does not convert to a boolean");
  return v;
}

bool Variant::operator==(const Variant& o) const {
  if (type_ != o.type_) return false;
  switch (type_) {
    case Type::Empty:
      return true;
    case Type::Integer:
      return int_ == o.int_;
    case Type::Real:
      return real_ == o.real_;
    case Type::Boolean:
      return bool_ == o.bool_;
    case Type::Text:
    case Type::Octets:
      return text_ == o.text_;
    case Type::Array:
      return low_ == o.low_ && (items_ == o.items_ || *items_ == *o.items_);
  }
  return false;
}

std::string Variant::Describe() const {
  static const char* hex = "0123456789ABCDEF";
  switch (type_) {
    case Type::Empty:
      return "Empty";
    case Type::Integer:
      return std::to_string(int_);
    case Type::Real:
      return RealToText(real_);
    case Type::Boolean:
      return bool_ ? "True" : "False";
    case Type::Text: {
      std::string s = "\"";
      for (unsigned char c : text_) {
        if (c < 32 || c >= 127 || c == '"' || c == '\\') {
          s += "\\x";
          s += hex[c >> 4];
          s += hex[c & 15];
        } else {
          s += static_cast<char>(c);
        }
      }
      return s + "\"";
    }
    case Type::Octets: {
      std::string s = "octets(";
      for (unsigned char c : text_) {
        s += hex[c >> 4];
        s += hex[c & 15];
      }
      return s + ")";
    }
    case Type::Array: {
      std::string s;
      if (low_ != 0) s = std::to_string(low_) + ":";
      s += "[";
      for (size_t i = 0; i < items_->size(); ++i) {
        if (i) s += ", ";
        s += (*items_)[i].Describe();
      }
      return s + "]";
    }
  }
  return "?";
}

}  // namespace zb
