// Property-list values and files, on libplist (XML and binary in, XML out).
#include "os/plist_value.h"

#include <plist/plist.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>

#include "os/atomic_file.h"

namespace rcpinstall::os {

const PlistValue* PlistValue::find(std::string_view key) const {
  const PlistDictionary* dict = asDictionary();
  if (dict == nullptr) return nullptr;
  for (const auto& entry : *dict) {
    if (entry.first == key) return &entry.second;
  }
  return nullptr;
}

PlistValue* PlistValue::find(std::string_view key) {
  return const_cast<PlistValue*>(std::as_const(*this).find(key));
}

bool PlistValue::set(const std::string& key, PlistValue value) {
  PlistDictionary* dict = asDictionary();
  if (dict == nullptr) return false;
  for (auto& entry : *dict) {
    if (entry.first == key) {
      entry.second = std::move(value);
      return true;
    }
  }
  dict->emplace_back(key, std::move(value));
  return true;
}

bool PlistValue::erase(std::string_view key) {
  PlistDictionary* dict = asDictionary();
  if (dict == nullptr) return false;
  for (auto it = dict->begin(); it != dict->end(); ++it) {
    if (it->first == key) {
      dict->erase(it);
      return true;
    }
  }
  return false;
}

namespace {

struct NodeDeleter {
  void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

// libplist keeps dates as seconds since 2001 but hands them over as whole seconds (32 bits)
// plus the magnitude of the fraction in microseconds.
constexpr double kDateMin = std::numeric_limits<int32_t>::min();
constexpr double kDateMax = std::numeric_limits<int32_t>::max();

std::optional<PlistValue> fromNode(plist_t node, int depth);

std::optional<PlistValue> fromDictionary(plist_t node, int depth) {
  PlistValue result{PlistDictionary{}};
  plist_dict_iter iter = nullptr;
  plist_dict_new_iter(node, &iter);
  if (iter == nullptr) return result;
  for (;;) {
    char* key = nullptr;
    plist_t item = nullptr;
    plist_dict_next_item(node, iter, &key, &item);
    if (item == nullptr) {
      std::free(key);
      break;
    }
    std::optional<PlistValue> value = fromNode(item, depth + 1);
    if (!value || key == nullptr) {
      std::free(key);
      std::free(iter);
      return std::nullopt;
    }
    result.set(key, std::move(*value));
    std::free(key);
  }
  std::free(iter);
  return result;
}

std::optional<PlistValue> fromNode(plist_t node, int depth) {
  // Deeply nested input is refused rather than risking the stack.
  if (node == nullptr || depth > 512) return std::nullopt;
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return PlistValue(b != 0);
    }
    case PLIST_UINT: {
      // Signed integers are kept in two's complement; values above INT64_MAX wrap.
      uint64_t u = 0;
      plist_get_uint_val(node, &u);
      return PlistValue(static_cast<int64_t>(u));
    }
    case PLIST_UID: {
      uint64_t u = 0;
      plist_get_uid_val(node, &u);
      return PlistValue(static_cast<int64_t>(u));
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return PlistValue(d);
    }
    case PLIST_STRING:
    case PLIST_KEY: {
      uint64_t length = 0;
      const char* text =
          plist_get_node_type(node) == PLIST_STRING ? plist_get_string_ptr(node, &length) : nullptr;
      if (text != nullptr) return PlistValue(std::string(text, length));
      char* copy = nullptr;
      plist_get_key_val(node, &copy);
      std::string s = copy ? copy : "";
      std::free(copy);
      return PlistValue(std::move(s));
    }
    case PLIST_DATE: {
      int32_t sec = 0, usec = 0;
      plist_get_date_val(node, &sec, &usec);
      double fraction = static_cast<double>(usec) / 1e6;
      return PlistValue(PlistDate{sec < 0 ? sec - fraction : sec + fraction});
    }
    case PLIST_DATA: {
      uint64_t length = 0;
      const char* bytes = plist_get_data_ptr(node, &length);
      return PlistValue(PlistData{bytes ? std::string(bytes, length) : std::string()});
    }
    case PLIST_ARRAY: {
      PlistArray items;
      uint32_t size = plist_array_get_size(node);
      items.reserve(size);
      for (uint32_t i = 0; i < size; ++i) {
        std::optional<PlistValue> item = fromNode(plist_array_get_item(node, i), depth + 1);
        if (!item) return std::nullopt;
        items.push_back(std::move(*item));
      }
      return PlistValue(std::move(items));
    }
    case PLIST_DICT:
      return fromDictionary(node, depth);
    default:
      return std::nullopt;
  }
}

plist_t toNode(const PlistValue& value) {
  switch (value.type()) {
    case PlistValue::Type::String:
      return plist_new_string(value.asString()->c_str());
    case PlistValue::Type::Integer:
      return plist_new_uint(static_cast<uint64_t>(*value.asInteger()));
    case PlistValue::Type::Real:
      return plist_new_real(*value.asReal());
    case PlistValue::Type::Boolean:
      return plist_new_bool(*value.asBoolean() ? 1 : 0);
    case PlistValue::Type::Date: {
      double seconds = value.asDate()->secondsSince2001;
      if (!std::isfinite(seconds)) seconds = 0;
      seconds = std::fmin(std::fmax(seconds, kDateMin), kDateMax);
      double whole = std::trunc(seconds);
      auto usec = static_cast<int32_t>(std::lround((seconds - whole) * 1e6));
      return plist_new_date(static_cast<int32_t>(whole), usec);
    }
    case PlistValue::Type::Data: {
      const std::string& bytes = value.asData()->bytes;
      return plist_new_data(bytes.data(), bytes.size());
    }
    case PlistValue::Type::Array: {
      plist_t array = plist_new_array();
      for (const PlistValue& item : *value.asArray()) {
        plist_array_append_item(array, toNode(item));
      }
      return array;
    }
    case PlistValue::Type::Dictionary: {
      plist_t dict = plist_new_dict();
      for (const auto& [key, item] : *value.asDictionary()) {
        plist_dict_set_item(dict, key.c_str(), toNode(item));
      }
      return dict;
    }
  }
  return plist_new_dict();
}

// A big-endian unsigned number of `size` bytes (1 to 8) at `at`.
uint64_t bigEndian(std::string_view bytes, size_t at, size_t size) {
  uint64_t value = 0;
  for (size_t i = 0; i < size; ++i)
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

// Whether the texts of a binary property list are what their kinds say: no text holds the
// character U+0000, and an ASCII text holds ASCII only. libplist keeps a text's length apart
// from its characters and stops the process (an assertion) on a dictionary key that ends
// early, and it hands on the bytes of an ASCII text unchecked, so that a value would not be
// UTF-8. The XML reader refuses U+0000 outright, and the target system refuses an ASCII text
// that is not ASCII; such a list is refused here the same way, before libplist reads it. A
// trailer or offset table that points outside the bytes is refused as well.
bool binaryTextsAreWellFormed(std::string_view bytes) {
  constexpr size_t kHeader = 8;
  constexpr size_t kTrailer = 32;
  if (bytes.size() < kHeader + kTrailer) return false;
  const size_t trailer = bytes.size() - kTrailer;
  const size_t offsetSize = static_cast<unsigned char>(bytes[trailer + 6]);
  const uint64_t objects = bigEndian(bytes, trailer + 8, 8);
  const uint64_t table = bigEndian(bytes, trailer + 24, 8);
  if (offsetSize < 1 || offsetSize > 8 || table > trailer ||
      objects > (trailer - table) / offsetSize) {
    return false;
  }
  for (uint64_t object = 0; object < objects; ++object) {
    const uint64_t at = bigEndian(bytes, table + object * offsetSize, offsetSize);
    if (at >= trailer) return false;
    const auto marker = static_cast<unsigned char>(bytes[at]);
    const unsigned kind = marker >> 4;
    if (kind != 0x5 && kind != 0x6) continue;  // ASCII and UTF-16 texts
    uint64_t length = marker & 0x0F;
    size_t start = at + 1;
    if (length == 0x0F) {  // the length follows as an integer object
      if (start >= trailer) return false;
      const auto lengthMarker = static_cast<unsigned char>(bytes[start]);
      const size_t lengthSize = size_t{1} << (lengthMarker & 0x0F);
      if ((lengthMarker >> 4) != 0x1 || lengthSize > 8 || lengthSize > trailer - start - 1) {
        return false;
      }
      length = bigEndian(bytes, start + 1, lengthSize);
      start += 1 + lengthSize;
    }
    const size_t unit = kind == 0x6 ? 2 : 1;
    if (length > (trailer - start) / unit) return false;
    const std::string_view text = bytes.substr(start, length * unit);
    for (size_t i = 0; i < text.size(); i += unit) {
      if (unit == 1 && (text[i] == '\0' || static_cast<unsigned char>(text[i]) >= 0x80)) {
        return false;
      }
      if (unit == 2 && text[i] == '\0' && text[i + 1] == '\0') return false;
    }
  }
  return true;
}

}  // namespace

std::optional<PlistValue> parsePlist(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  if (bytes.starts_with("bplist00") && !binaryTextsAreWellFormed(bytes)) return std::nullopt;
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  Node owned(root);
  if (root == nullptr) return std::nullopt;
  return fromNode(root, 0);
}

std::string serializePlistXml(const PlistValue& value) {
  Node root(toNode(value));
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(static_cast<plist_t>(root.get()), &xml, &length);
  std::string result = xml ? std::string(xml, length) : std::string();
  if (xml) plist_to_xml_free(xml);
  return result;
}

std::optional<PlistValue> readPlistFile(const Location& path) {
  std::optional<std::string> bytes = readWholeFile(path);
  if (!bytes) return std::nullopt;
  return parsePlist(*bytes);
}

bool writePlistFile(const Location& path, const PlistValue& value,
                    const ReplacementAttributes& attributes) {
  std::string xml = serializePlistXml(value);
  if (xml.empty()) return false;
  return replaceFileAtomically(path, xml, attributes);
}

}  // namespace rcpinstall::os
