#include "platform/json.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <set>

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

Json& Json::AppendMember(std::string name, Json value) {
  members_.emplace_back(std::move(name), std::move(value));
  return members_.back().second;
}

Json& Json::Push(Json value) {
  items_.push_back(std::move(value));
  return items_.back();
}

using Library = nlohmann::ordered_json;

// Builds a Json from the library's parse events. The library checks the syntax and the UTF-8;
// this keeps the nesting limit, refuses duplicate member names and maps strings to octets.
// Most texts are plain ASCII, the same in Latin-1 and UTF-8, and pass through whole.
bool IsAscii(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return (c & 0x80) == 0; });
}

class JsonBuilder final : public nlohmann::json_sax<Library> {
 public:
  explicit JsonBuilder(int max_depth) : max_depth_(max_depth) { open_.reserve(4); }

  Json root;
  std::string error;
  bool outside_latin1 = false;

  bool null() override { return Add(Json()); }
  bool boolean(bool b) override { return Add(Json::Bool(b)); }
  bool number_integer(number_integer_t v) override { return Add(Json::Integer(v)); }
  bool number_unsigned(number_unsigned_t v) override {
    if (v <= static_cast<number_unsigned_t>(INT64_MAX))
      return Add(Json::Integer(static_cast<int64_t>(v)));
    return Add(Json::Real(static_cast<double>(v)));
  }
  bool number_float(number_float_t v, const string_t&) override {
    if (!std::isfinite(v)) return Fail("number out of range");
    return Add(Json::Real(v));
  }
  bool string(string_t& utf8) override {
    std::string octets;
    // Such a string reads as null, so the rest of the request (its id) can still be answered.
    if (!ToOctets(utf8, octets)) return Add(Json());
    return Add(Json::String(std::move(octets)));
  }
  bool binary(binary_t&) override { return Fail("binary value"); }
  bool start_object(std::size_t) override { return Open(Json::Object()); }
  bool key(string_t& utf8) override {
    std::string name;
    if (!ToOctets(utf8, name)) name.clear();
    if (!NewMember(open_.back(), name)) return Fail("duplicate object member");
    key_ = std::move(name);
    return true;
  }
  bool end_object() override { return Close(); }
  bool start_array(std::size_t) override { return Open(Json::Array()); }
  bool end_array() override { return Close(); }
  bool parse_error(std::size_t position, const std::string&,
                   const nlohmann::detail::exception& e) override {
    // The library's reason without its prefixes and without the token it read (which may be
    // as long as the line).
    std::string why = e.what();
    if (size_t dash = why.find(" - "); dash != std::string::npos) why.erase(0, dash + 3);
    if (size_t last = why.find("; last read"); last != std::string::npos) why.erase(last);
    return Fail("at octet " + std::to_string(position) + ": " + why);
  }

 private:
  struct OpenContainer {
    Json* value;
    std::set<std::string> names;  // objects past kLinearMembers: member names so far
  };

  // Requests are objects of a few members, looked through at once; a large object (a hostile
  // one has thousands) keeps its names in a set so that the check stays cheap.
  static constexpr size_t kLinearMembers = 16;
  static constexpr size_t kRootMembers = 7;

  static bool NewMember(OpenContainer& c, const std::string& name) {
    const auto& members = c.value->Members();
    if (members.size() < kLinearMembers) {
      for (const auto& m : members)
        if (m.first == name) return false;
      return true;
    }
    if (c.names.empty())
      for (const auto& m : members) c.names.insert(m.first);
    return c.names.insert(name).second;
  }

  bool Fail(std::string why) {
    if (error.empty()) error = std::move(why);
    return false;
  }

  bool ToOctets(const std::string& utf8, std::string& out) {
    if (IsAscii(utf8)) {
      out.assign(utf8);
      return true;
    }
    out.clear();
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size(); ++i) {
      auto b = static_cast<unsigned char>(utf8[i]);
      if (b < 0x80) {
        out.push_back(static_cast<char>(b));
      } else if ((b == 0xC2 || b == 0xC3) && i + 1 < utf8.size()) {
        // U+0080..U+00FF (the library has checked the sequence).
        out.push_back(static_cast<char>(((b & 0x03) << 6) | (utf8[++i] & 0x3F)));
      } else {
        outside_latin1 = true;
        return false;
      }
    }
    return true;
  }

  Json* Place(Json value) {
    if (open_.empty()) {
      root = std::move(value);
      return &root;
    }
    Json& parent = *open_.back().value;
    if (parent.kind() == Json::Kind::Array) return &parent.Push(std::move(value));
    return &parent.AppendMember(std::move(key_), std::move(value));
  }

  bool Add(Json value) {
    Place(std::move(value));
    return true;
  }

  bool Open(Json container) {
    if (static_cast<int>(open_.size()) >= max_depth_) return Fail("nesting too deep");
    // The new container is the last element of its parent, which only grows at its own end
    // after this one is closed, so the pointer stays valid while it is open.
    open_.push_back({Place(std::move(container)), {}});
    // A request is one object of a few members: room for them at once, in one small block
    // (growing by doubling would pass through a block too large for the allocator's cache).
    if (open_.size() == 1 && root.kind() == Json::Kind::Object) root.members_.reserve(kRootMembers);
    return true;
  }

  bool Close() {
    open_.pop_back();
    return true;
  }

  int max_depth_;
  std::vector<OpenContainer> open_;
  std::string key_;
};

namespace {

std::string ToUtf8(const std::string& octets) {
  if (IsAscii(octets)) return octets;
  std::string out;
  out.reserve(octets.size());
  for (char ch : octets) {
    auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out.push_back(ch);
    } else {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

Library ToLibrary(const Json& j) {
  switch (j.kind()) {
    case Json::Kind::Null:
      return nullptr;
    case Json::Kind::Bool:
      return j.AsBool();
    case Json::Kind::Integer:
      return j.AsInteger();
    case Json::Kind::Real:
      // Not finite: no JSON form.
      return std::isfinite(j.AsReal()) ? Library(j.AsReal()) : Library(nullptr);
    case Json::Kind::String:
      return ToUtf8(j.AsString());
    case Json::Kind::Array: {
      Library a = Library::array();
      for (const Json& v : j.Items()) a.push_back(ToLibrary(v));
      return a;
    }
    case Json::Kind::Object: {
      Library o = Library::object();
      for (const auto& [k, v] : j.Members()) o[ToUtf8(k)] = ToLibrary(v);
      return o;
    }
  }
  return nullptr;
}

const char kHex[] = "0123456789abcdef";

}  // namespace

bool ParseJson(std::string_view text, Json& out, std::string& error, int max_depth,
               bool* outside_latin1) {
  JsonBuilder builder(max_depth);
  bool ok = Library::sax_parse(text.begin(), text.end(), &builder);
  if (outside_latin1) *outside_latin1 = ok && builder.outside_latin1;
  if (ok && builder.outside_latin1) {
    error = "character outside Latin-1 in string";
    out = std::move(builder.root);
    return false;
  }
  if (!ok) {
    error = builder.error.empty() ? "malformed JSON" : builder.error;
    return false;
  }
  out = std::move(builder.root);
  return true;
}

std::string WriteJson(const Json& value) {
  // A real that is a whole number keeps its ".0", so it reads back as a real.
  return ToLibrary(value).dump();
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
      std::vector<Json> items;
      items.reserve(v.Elements().size());
      for (const Variant& e : v.Elements()) items.push_back(VariantToJson(e));
      return Json::Array(std::move(items));
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
