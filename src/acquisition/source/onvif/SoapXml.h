// The XML of a camera's SOAP answers, read into a small tree: elements by
// their local name (namespace prefixes dropped), attributes, text. Enough
// for ONVIF answers, bounded for anything else: size, depth and element
// count are limited, entities are the five predefined ones and character
// references, and nothing is ever fetched or expanded beyond that.
//
// Thread safety: none; a document belongs to the call that read it.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace orvella::soap {

struct Element {
  std::string name;                                             // local name
  std::vector<std::pair<std::string, std::string>> attributes;  // local names
  std::string text;                                             // the text directly inside, entities resolved
  int parent = -1;
  std::vector<int> children;
};

class Document {
 public:
  static constexpr size_t kMaxBytes = 1 << 20;
  static constexpr int kMaxDepth = 64;
  static constexpr size_t kMaxElements = 20000;

  // False, with the reason in `error`, for text that is no XML we read.
  bool Parse(const std::string& text, std::string& error);

  // The first element named `name` at or below `from` (depth first), or -1.
  int Find(const std::string& name, int from = 0) const;
  // Every element named `name` below `from`, in document order.
  std::vector<int> FindAll(const std::string& name, int from = 0) const;
  // The first element named `name` among the children of `parent`, or -1.
  int Child(int parent, const std::string& name) const;
  // The text of the element found by following `path` (child names) from
  // `from`; "" when a step is missing.
  std::string TextAt(int from, std::initializer_list<const char*> path) const;
  std::string Attribute(int element, const std::string& name) const;

  const Element& operator[](int i) const { return elements[static_cast<size_t>(i)]; }
  size_t Size() const { return elements.size(); }

 private:
  std::vector<Element> elements;
};

}  // namespace orvella::soap
