// One named setting with its value, range and default.
//
// Param<int>::value is atomic: the camera's worker reads integer settings while
// a host thread may change them (setProperty, the dialog). Copying a Param
// copies every field.
#pragma once

#include <atomic>
#include <ostream>
#include <string>

namespace orvella {

template <typename T>
class Param {
 public:
  Param(const std::string& name, const T& initial, const T& maximum, const T& minimum)
      : name(name), value(initial), maximum(maximum), minimum(minimum), defaultValue(initial) {}
  virtual ~Param() = default;
  Param(const Param&) = default;
  Param& operator=(const Param&) = default;

  virtual void WriteTo(std::ostream& out) const { out << name << "=" << value << "\n"; }

  std::string name;
  T value;
  T maximum;
  T minimum;
  T defaultValue;
};

template <>
class Param<int> {
 public:
  Param(const std::string& name, int initial, int maximum, int minimum)
      : name(name), value(initial), maximum(maximum), minimum(minimum), defaultValue(initial) {}
  virtual ~Param() = default;
  Param(const Param& other)
      : name(other.name), value(other.value.load()), maximum(other.maximum), minimum(other.minimum),
        defaultValue(other.defaultValue) {}
  Param& operator=(const Param& other) {
    name = other.name;
    value = other.value.load();
    maximum = other.maximum;
    minimum = other.minimum;
    defaultValue = other.defaultValue;
    return *this;
  }

  virtual void WriteTo(std::ostream& out) const { out << name << "=" << value.load() << "\n"; }

  // Lower bound first, then upper bound (signed).
  void Clamp() {
    int v = value.load();
    if (v < minimum) v = minimum;
    if (v > maximum) v = maximum;
    value = v;
  }

  std::string name;
  std::atomic<int> value;
  int maximum;
  int minimum;
  int defaultValue;
};

}  // namespace orvella
