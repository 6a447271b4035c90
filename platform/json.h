// The host connection's JSON: a small value of octet strings, read and written through the
// nlohmann-json library, plus the one to one mapping between JSON and the automation Variant.
//
// Byte strings: a Variant text is a string of 8-bit octets, a JSON string a string of Unicode
// characters. Octet b maps to character U+00bb (Latin-1), written as UTF-8 (control characters
// and the zero octet escaped), so any byte string survives the trip. A JSON string holding a
// character above U+00FF has no octet form and is refused.
//
// Numbers: a Variant integer is written without fraction (42), a real always with one (42.0,
// 1.5e-07), so each reads back as the same kind. A JSON number without fraction or exponent that
// fits 32 bits reads as an integer, any other number as a real. Reals that are not finite have
// no JSON form and are written as null.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/variant.h"

namespace zb::platform {

class Json {
 public:
  enum class Kind { Null, Bool, Integer, Real, String, Array, Object };

  Json() = default;
  static Json Bool(bool b);
  static Json Integer(int64_t v);
  static Json Real(double v);
  static Json String(std::string bytes);  // octets, Latin-1 as above
  static Json Array(std::vector<Json> items = {});
  static Json Object();

  Kind kind() const { return kind_; }
  bool IsNull() const { return kind_ == Kind::Null; }
  bool IsNumber() const { return kind_ == Kind::Integer || kind_ == Kind::Real; }
  bool AsBool() const { return bool_; }
  int64_t AsInteger() const { return int_; }
  double AsReal() const { return kind_ == Kind::Integer ? static_cast<double>(int_) : real_; }
  const std::string& AsString() const { return text_; }
  const std::vector<Json>& Items() const { return items_; }
  std::vector<Json>& Items() { return items_; }
  const std::vector<std::pair<std::string, Json>>& Members() const { return members_; }

  // Objects: the first member of that name, or nullptr. Set replaces or appends.
  const Json* Find(std::string_view name) const;
  Json& Set(std::string name, Json value);
  Json& Push(Json value);  // arrays

 private:
  friend class JsonBuilder;
  Json& AppendMember(std::string name, Json value);  // no check for the name

  Kind kind_ = Kind::Null;
  bool bool_ = false;
  int64_t int_ = 0;
  double real_ = 0;
  std::string text_;
  std::vector<Json> items_;
  std::vector<std::pair<std::string, Json>> members_;
};

// Parses exactly one JSON value (blanks around it allowed). Nesting deeper than max_depth and
// duplicate member names are refused. On failure answers false with a short reason; never reads
// past `text`. Well-formed JSON whose only fault is a character above U+00FF is refused as well,
// with *outside_latin1 set (when given) and `out` holding the value, each such string read as
// null, so that a caller can still answer the request by its id.
bool ParseJson(std::string_view text, Json& out, std::string& error, int max_depth = 64,
               bool* outside_latin1 = nullptr);
// Compact, one line (no raw line breaks).
std::string WriteJson(const Json& value);

// Variant ↔ JSON: text ↔ string, integer/real ↔ number, boolean ↔ true/false, empty ↔ null,
// array ↔ array (the lower bound is not carried: arrays arrive zero-based), octet array ↔
// {"octets":"<hex>"}. JsonToVariant refuses other objects and bad hex.
Json VariantToJson(const Variant& v);
bool JsonToVariant(const Json& j, Variant& out, std::string& error, int max_depth = 64);

}  // namespace zb::platform
