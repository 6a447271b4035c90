#include "platform/json.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zb::platform {

Json Json::Bool(bool b) {
  Json j;
  j.kind_ = Kind::Bool;
  j.bool_ = b;
  return j;
}
Json Json::Integer(int64_t v) {
  Json j;
  j.kind_ = Kind::Integer;
  j.int_ = v;
  return j;
}
Json Json::Real(double v) {
  Json j;
  j.kind_ = Kind::Real;
  j.real_ = v;
  return j;
}
Json Json::String(std::string bytes) {
  Json j;
  j.kind_ = Kind::String;
  j.text_ = std::move(bytes);
  return j;
}
Json Json::Array(std::vector<Json> items) {
  Json j;
  j.kind_ = Kind::Array;
  j.items_ = std::move(items);
  return j;
}
Json Json::Object() {
  Json j;
  j.kind_ = Kind::Object;
  return j;
}

const Json* Json::Find(std::string_view name) const {
  for (const auto& [k, v] : members_)
    if (k == name) return &v;
  return nullptr;
}

Json& Json::Set(std::string name, Json value) {
  for (auto& [k, v] : members_)
    if (k == name) {
      v = std::move(value);
      return v;
    }
  members_.emplace_back(std::move(name), std::move(value));
  return members_.back().second;
}

Json& Json::Push(Json value) {
  items_.push_back(std::move(value));
  return items_.back();
}

namespace {

class Parser {
 public:
  Parser(std::string_view s, int max_depth) : s_(s), max_depth_(max_depth) {}

  bool Run(Json& out, std::string& error) {
    SkipBlanks();
    if (!Value(out, 0)) {
      error = error_;
      return false;
    }
    SkipBlanks();
    if (pos_ != s_.size()) {
      error = "trailing characters after the value";
      return false;
    }
    return true;
  }

 private:
  std::string_view s_;
  size_t pos_ = 0;
  int max_depth_;
  std::string error_;

  bool Fail(const char* why) {
    if (error_.empty()) error_ = why;
    return false;
  }
  bool AtEnd() const { return pos_ >= s_.size(); }
  char Peek() const { return AtEnd() ? '\0' : s_[pos_]; }
  void SkipBlanks() {
    while (!AtEnd() &&
           (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r'))
      ++pos_;
  }
  bool Literal(std::string_view word) {
    if (s_.substr(pos_, word.size()) != word) return Fail("invalid literal");
    pos_ += word.size();
    return true;
  }

  bool Value(Json& out, int depth) {
    if (depth > max_depth_) return Fail("nesting too deep");
    if (AtEnd()) return Fail("unexpected end of input");
    char c = Peek();
    switch (c) {
      case '{':
        return ObjectValue(out, depth);
      case '[':
        return ArrayValue(out, depth);
      case '"': {
        std::string text;
        if (!StringValue(text)) return false;
        out = Json::String(std::move(text));
        return true;
      }
      case 't':
        if (!Literal("true")) return false;
        out = Json::Bool(true);
        return true;
      case 'f':
        if (!Literal("false")) return false;
        out = Json::Bool(false);
        return true;
      case 'n':
        if (!Literal("null")) return false;
        out = Json();
        return true;
      default:
        if (c == '-' || (c >= '0' && c <= '9')) return NumberValue(out);
        return Fail("unexpected character");
    }
  }

  bool ObjectValue(Json& out, int depth) {
    ++pos_;  // {
    out = Json::Object();
    SkipBlanks();
    if (Peek() == '}') {
      ++pos_;
      return true;
    }
    for (;;) {
      SkipBlanks();
      if (Peek() != '"') return Fail("object member name expected");
      std::string name;
      if (!StringValue(name)) return false;
      SkipBlanks();
      if (Peek() != ':') return Fail("':' expected");
      ++pos_;
      SkipBlanks();
      Json v;
      if (!Value(v, depth + 1)) return false;
      if (out.Find(name)) return Fail("duplicate object member");
      out.Set(std::move(name), std::move(v));
      SkipBlanks();
      if (Peek() == ',') {
        ++pos_;
        continue;
      }
      if (Peek() == '}') {
        ++pos_;
        return true;
      }
      return Fail("',' or '}' expected");
    }
  }

  bool ArrayValue(Json& out, int depth) {
    ++pos_;  // [
    out = Json::Array();
    SkipBlanks();
    if (Peek() == ']') {
      ++pos_;
      return true;
    }
    for (;;) {
      SkipBlanks();
      Json v;
      if (!Value(v, depth + 1)) return false;
      out.Push(std::move(v));
      SkipBlanks();
      if (Peek() == ',') {
        ++pos_;
        continue;
      }
      if (Peek() == ']') {
        ++pos_;
        return true;
      }
      return Fail("',' or ']' expected");
    }
  }

  static int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  bool Hex4(uint32_t& cp) {
    if (s_.size() - pos_ < 4) return Fail("short \\u escape");
    cp = 0;
    for (int i = 0; i < 4; ++i) {
      int d = HexDigit(s_[pos_ + i]);
      if (d < 0) return Fail("bad \\u escape");
      cp = cp * 16 + static_cast<uint32_t>(d);
    }
    pos_ += 4;
    return true;
  }

  // Decodes one UTF-8 sequence starting at pos_ (strictly: no overlong forms, no surrogates).
  bool Utf8(uint32_t& cp) {
    auto b0 = static_cast<unsigned char>(s_[pos_]);
    int n;
    uint32_t min;
    if (b0 < 0x80) {
      cp = b0;
      ++pos_;
      return true;
    } else if ((b0 & 0xE0) == 0xC0) {
      n = 1, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
      n = 2, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
      n = 3, cp = b0 & 0x07, min = 0x10000;
    } else {
      return Fail("invalid UTF-8");
    }
    if (s_.size() - pos_ - 1 < static_cast<size_t>(n)) return Fail("invalid UTF-8");
    for (int i = 1; i <= n; ++i) {
      auto b = static_cast<unsigned char>(s_[pos_ + i]);
      if ((b & 0xC0) != 0x80) return Fail("invalid UTF-8");
      cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return Fail("invalid UTF-8");
    pos_ += static_cast<size_t>(n) + 1;
    return true;
  }

  bool StringValue(std::string& out) {
    ++pos_;  // "
    for (;;) {
      if (AtEnd()) return Fail("unterminated string");
      char c = s_[pos_];
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (static_cast<unsigned char>(c) < 0x20) return Fail("control character in string");
      uint32_t cp;
      if (c == '\\') {
        ++pos_;
        if (AtEnd()) return Fail("unterminated string");
        char e = s_[pos_++];
        switch (e) {
          case '"':
            cp = '"';
            break;
          case '\\':
            cp = '\\';
            break;
          case '/':
            cp = '/';
            break;
          case 'b':
            cp = '\b';
            break;
          case 'f':
            cp = '\f';
            break;
          case 'n':
            cp = '\n';
            break;
          case 'r':
            cp = '\r';
            break;
          case 't':
            cp = '\t';
            break;
          case 'u':
            if (!Hex4(cp)) return false;
            // A surrogate (pair or not) is necessarily above U+00FF.
            if (cp >= 0xD800 && cp <= 0xDFFF) return Fail("character outside Latin-1 in string");
            break;
          default:
            return Fail("bad escape in string");
        }
      } else if (!Utf8(cp)) {
        return false;
      }
      if (cp > 0xFF) return Fail("character outside Latin-1 in string");
      out.push_back(static_cast<char>(cp));
    }
  }

  bool NumberValue(Json& out) {
    size_t start = pos_;
    bool fraction = false;
    if (Peek() == '-') ++pos_;
    if (Peek() == '0') {
      ++pos_;
    } else if (Peek() >= '1' && Peek() <= '9') {
      while (Peek() >= '0' && Peek() <= '9') ++pos_;
    } else {
      return Fail("bad number");
    }
    if (Peek() == '.') {
      fraction = true;
      ++pos_;
      if (!(Peek() >= '0' && Peek() <= '9')) return Fail("bad number");
      while (Peek() >= '0' && Peek() <= '9') ++pos_;
    }
    if (Peek() == 'e' || Peek() == 'E') {
      fraction = true;
      ++pos_;
      if (Peek() == '+' || Peek() == '-') ++pos_;
      if (!(Peek() >= '0' && Peek() <= '9')) return Fail("bad number");
      while (Peek() >= '0' && Peek() <= '9') ++pos_;
    }
    std::string text(s_.substr(start, pos_ - start));
    if (!fraction && text.size() <= 18) {  // always fits 64 bits
      out = Json::Integer(std::strtoll(text.c_str(), nullptr, 10));
      return true;
    }
    double d = std::strtod(text.c_str(), nullptr);
    if (!std::isfinite(d)) return Fail("number out of range");
    out = Json::Real(d);
    return true;
  }
};

void WriteString(const std::string& bytes, std::string& out) {
  out.push_back('"');
  for (char ch : bytes) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else if (c < 0x80) {
          out.push_back(static_cast<char>(c));
        } else {
          out.push_back(static_cast<char>(0xC0 | (c >> 6)));
          out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
  }
  out.push_back('"');
}

void WriteReal(double d, std::string& out) {
  if (!std::isfinite(d)) {
    out += "null";
    return;
  }
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", d);
  // Prefer the shortest text that reads back exactly.
  for (int prec = 1; prec < 17; ++prec) {
    char shorter[40];
    std::snprintf(shorter, sizeof shorter, "%.*g", prec, d);
    if (std::strtod(shorter, nullptr) == d) {
      std::strcpy(buf, shorter);
      break;
    }
  }
  out += buf;
  if (!std::strpbrk(buf, ".eEn")) out += ".0";  // stays a real on the way back
}

void Write(const Json& j, std::string& out) {
  switch (j.kind()) {
    case Json::Kind::Null:
      out += "null";
      break;
    case Json::Kind::Bool:
      out += j.AsBool() ? "true" : "false";
      break;
    case Json::Kind::Integer:
      out += std::to_string(j.AsInteger());
      break;
    case Json::Kind::Real:
      WriteReal(j.AsReal(), out);
      break;
    case Json::Kind::String:
      WriteString(j.AsString(), out);
      break;
    case Json::Kind::Array: {
      out.push_back('[');
      bool first = true;
      for (const Json& v : j.Items()) {
        if (!first) out.push_back(',');
        first = false;
        Write(v, out);
      }
      out.push_back(']');
      break;
    }
    case Json::Kind::Object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [k, v] : j.Members()) {
        if (!first) out.push_back(',');
        first = false;
        WriteString(k, out);
        out.push_back(':');
        Write(v, out);
      }
      out.push_back('}');
      break;
    }
  }
}

const char kHex[] = "0123456789abcdef";

}  // namespace

bool ParseJson(std::string_view text, Json& out, std::string& error, int max_depth) {
  Parser p(text, max_depth);
  Json result;
  if (!p.Run(result, error)) return false;
  out = std::move(result);
  return true;
}

std::string WriteJson(const Json& value) {
  std::string out;
  Write(value, out);
  return out;
}

Json VariantToJson(const Variant& v) {
  switch (v.type()) {
    case Variant::Type::Empty:
      return Json();
    case Variant::Type::Integer:
      return Json::Integer(v.AsIntRaw());
    case Variant::Type::Real:
      return Json::Real(v.AsRealRaw());
    case Variant::Type::Boolean:
      return Json::Bool(v.AsBoolRaw());
    case Variant::Type::Text:
      return Json::String(v.AsTextRaw());
    case Variant::Type::Octets: {
      std::string hex;
      hex.reserve(v.AsTextRaw().size() * 2);
      for (char ch : v.AsTextRaw()) {
        auto c = static_cast<unsigned char>(ch);
        hex.push_back(kHex[c >> 4]);
        hex.push_back(kHex[c & 15]);
      }
      Json j = Json::Object();
      j.Set("octets", Json::String(std::move(hex)));
      return j;
    }
    case Variant::Type::Array: {
      Json j = Json::Array();
      for (const Variant& e : v.Elements()) j.Push(VariantToJson(e));
      return j;
    }
  }
  return Json();
}

namespace {
bool ToVariant(const Json& j, Variant& out, std::string& error, int depth, int max_depth) {
  if (depth > max_depth) {
    error = "value nested too deep";
    return false;
  }
  switch (j.kind()) {
    case Json::Kind::Null:
      out = Variant();
      return true;
    case Json::Kind::Bool:
      out = Variant(j.AsBool());
      return true;
    case Json::Kind::Integer:
      if (j.AsInteger() >= INT32_MIN && j.AsInteger() <= INT32_MAX)
        out = Variant(static_cast<int32_t>(j.AsInteger()));
      else
        out = Variant(static_cast<double>(j.AsInteger()));
      return true;
    case Json::Kind::Real:
      out = Variant(j.AsReal());
      return true;
    case Json::Kind::String:
      out = Variant(j.AsString());
      return true;
    case Json::Kind::Array: {
      std::vector<Variant> items;
      items.reserve(j.Items().size());
      for (const Json& e : j.Items()) {
        Variant v;
        if (!ToVariant(e, v, error, depth + 1, max_depth)) return false;
        items.push_back(std::move(v));
      }
      out = Variant::MakeList(std::move(items));
      return true;
    }
    case Json::Kind::Object: {
      const Json* hex = j.Find("octets");
      if (!hex || j.Members().size() != 1 || hex->kind() != Json::Kind::String) {
        error = "unsupported object value (only {\"octets\":\"<hex>\"})";
        return false;
      }
      const std::string& h = hex->AsString();
      if (h.size() % 2 != 0) {
        error = "odd number of hex digits in octets";
        return false;
      }
      std::string bytes;
      bytes.reserve(h.size() / 2);
      for (size_t i = 0; i < h.size(); i += 2) {
        int hi = -1, lo = -1;
        const char* p = std::strchr(kHex, std::tolower(static_cast<unsigned char>(h[i])));
        const char* q = std::strchr(kHex, std::tolower(static_cast<unsigned char>(h[i + 1])));
        if (p && *p) hi = static_cast<int>(p - kHex);
        if (q && *q) lo = static_cast<int>(q - kHex);
        if (hi < 0 || lo < 0) {
          error = "bad hex digit in octets";
          return false;
        }
        bytes.push_back(static_cast<char>(hi * 16 + lo));
      }
      out = Variant::MakeOctets(std::move(bytes));
      return true;
    }
  }
  return false;
}
}  // namespace

bool JsonToVariant(const Json& j, Variant& out, std::string& error, int max_depth) {
  return ToVariant(j, out, error, 0, max_depth);
}

}  // namespace zb::platform
