// Property-list values, and reading and writing property-list files (XML or binary in, XML out).
#pragma once

#include "os/root.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "os/atomic_file.h"

namespace rcpinstall::os {

class PlistValue;
using PlistArray = std::vector<PlistValue>;
// Insertion-ordered dictionary with string keys; keys are unique.
using PlistDictionary = std::vector<std::pair<std::string, PlistValue>>;

struct PlistDate {
  double secondsSince2001 = 0;  // the reference date of property-list dates
  bool operator==(const PlistDate&) const = default;
};

struct PlistData {
  std::string bytes;
  bool operator==(const PlistData&) const = default;
};

class PlistValue {
 public:
  enum class Type { String, Integer, Real, Boolean, Date, Data, Array, Dictionary };

  PlistValue() : v_(PlistDictionary{}) {}  // an empty dictionary
  PlistValue(std::string s) : v_(std::move(s)) {}
  PlistValue(const char* s) : v_(std::string(s)) {}
  PlistValue(int64_t i) : v_(i) {}
  PlistValue(int i) : v_(static_cast<int64_t>(i)) {}
  PlistValue(double d) : v_(d) {}
  PlistValue(bool b) : v_(b) {}
  PlistValue(PlistDate d) : v_(d) {}
  PlistValue(PlistData d) : v_(std::move(d)) {}
  PlistValue(PlistArray a) : v_(std::move(a)) {}
  PlistValue(PlistDictionary d) : v_(std::move(d)) {}

  Type type() const { return static_cast<Type>(v_.index()); }

  // Each accessor answers nullptr when the value is of another type.
  const std::string* asString() const { return std::get_if<std::string>(&v_); }
  const int64_t* asInteger() const { return std::get_if<int64_t>(&v_); }
  const double* asReal() const { return std::get_if<double>(&v_); }
  const bool* asBoolean() const { return std::get_if<bool>(&v_); }
  const PlistDate* asDate() const { return std::get_if<PlistDate>(&v_); }
  const PlistData* asData() const { return std::get_if<PlistData>(&v_); }
  const PlistArray* asArray() const { return std::get_if<PlistArray>(&v_); }
  PlistArray* asArray() { return std::get_if<PlistArray>(&v_); }
  const PlistDictionary* asDictionary() const { return std::get_if<PlistDictionary>(&v_); }
  PlistDictionary* asDictionary() { return std::get_if<PlistDictionary>(&v_); }

  // Dictionary helpers; on a value that is not a dictionary find gives nullptr and
  // set / erase do nothing (set answers false).
  const PlistValue* find(std::string_view key) const;
  PlistValue* find(std::string_view key);
  bool set(const std::string& key, PlistValue value);  // replaces in place, else appends
  bool erase(std::string_view key);

  bool operator==(const PlistValue&) const = default;

 private:
  std::variant<std::string, int64_t, double, bool, PlistDate, PlistData, PlistArray,
               PlistDictionary>
      v_;
};

// Parses an XML or binary property list; none when the bytes are neither.
std::optional<PlistValue> parsePlist(std::string_view bytes);
// The XML encoding (plist version 1.0).
std::string serializePlistXml(const PlistValue& value);

// Reads a whole file and parses it; none when missing, unreadable or not a property list.
std::optional<PlistValue> readPlistFile(const Location& path);
// Writes the XML encoding atomically (see atomic_file.h); false when the write failed.
bool writePlistFile(const Location& path, const PlistValue& value,
                    const ReplacementAttributes& attributes = {});

}  // namespace rcpinstall::os
