#include "acquisition/source/onvif/SoapXml.h"

#include <cctype>
#include <cstring>

namespace orvella::soap {

namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || std::strchr("_-.:", c) ||
         static_cast<unsigned char>(c) >= 0x80;
}

std::string LocalName(const std::string& qualified) {
  const size_t colon = qualified.rfind(':');
  return colon == std::string::npos ? qualified : qualified.substr(colon + 1);
}

void AppendUtf8(std::string& out, unsigned long code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// One pass over the text, building the elements.
class Reader {
 public:
  Reader(const std::string& text, std::vector<Element>& out) : s(text), elements(out) {}

  bool Run(std::string& why) {
    while (at < s.size() && error.empty()) {
      if (s[at] != '<') {
        Text();
      } else if (s.compare(at, 2, "<?") == 0) {
        SkipPast("?>");
      } else if (s.compare(at, 4, "<!--") == 0) {
        SkipPast("-->");
      } else if (s.compare(at, 9, "<![CDATA[") == 0) {
        Cdata();
      } else if (s.compare(at, 2, "<!") == 0) {
        error = "a document type declaration is not read";
      } else if (s.compare(at, 2, "</") == 0) {
        EndTag();
      } else {
        StartTag();
      }
    }
    if (error.empty() && !open.empty()) error = "an element is not closed";
    if (error.empty() && elements.empty()) error = "no element";
    why = error;
    return error.empty();
  }

 private:
  void SkipPast(const char* end) {
    const size_t found = s.find(end, at);
    if (found == std::string::npos) {
      error = "the text ends inside markup";
      return;
    }
    at = found + std::strlen(end);
  }

  std::string* Inside() { return open.empty() ? nullptr : &elements[static_cast<size_t>(open.back())].text; }

  void Text() {
    std::string text;
    while (at < s.size() && s[at] != '<' && error.empty()) {
      if (s[at] == '&') {
        Entity(text);
      } else {
        text += s[at++];
      }
    }
    if (std::string* into = Inside()) {
      *into += text;
    } else if (text.find_first_not_of(" \t\r\n") != std::string::npos) {
      error = "text outside the root element";
    }
  }

  void Cdata() {
    const size_t start = at + 9, end = s.find("]]>", start);
    if (end == std::string::npos || !Inside()) {
      error = "a CDATA section outside an element or not closed";
      return;
    }
    *Inside() += s.substr(start, end - start);
    at = end + 3;
  }

  void Entity(std::string& out) {
    const size_t end = s.find(';', at);
    if (end == std::string::npos || end - at > 12) {
      error = "a reference is not closed";
      return;
    }
    const std::string name = s.substr(at + 1, end - at - 1);
    at = end + 1;
    static const struct {
      const char* name;
      char c;
    } kNamed[] = {{"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
    for (const auto& n : kNamed)
      if (name == n.name) {
        out += n.c;
        return;
      }
    const bool hex = name.size() > 2 && name[0] == '#' && (name[1] == 'x' || name[1] == 'X');
    const bool dec = name.size() > 1 && name[0] == '#' && !hex;
    const std::string digits = hex || dec ? name.substr(hex ? 2 : 1) : "";
    if (digits.empty() ||
        digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos) {
      error = "an entity other than the predefined ones";
      return;
    }
    if (digits.size() > 8) {
      error = "a character reference out of range";
      return;
    }
    unsigned long code = 0;  // at most 8 digits: no overflow
    for (char c : digits)
      code = code * (hex ? 16 : 10) + static_cast<unsigned long>(std::isdigit(c) ? c - '0' : (c | 0x20) - 'a' + 10);
    if (code == 0 || code > 0x10FFFF) {
      error = "a character reference out of range";
      return;
    }
    AppendUtf8(out, code);
  }

  std::string Name() {
    const size_t start = at;
    while (at < s.size() && IsNameChar(s[at])) ++at;
    return s.substr(start, at - start);
  }

  void SkipSpace() {
    while (at < s.size() && IsSpace(s[at])) ++at;
  }

  void StartTag() {
    ++at;
    const std::string qualified = Name();
    if (qualified.empty()) {
      error = "a tag without a name";
      return;
    }
    if (open.empty() && !elements.empty()) {
      error = "more than one root element";
      return;
    }
    if (open.size() >= static_cast<size_t>(Document::kMaxDepth) || elements.size() >= Document::kMaxElements) {
      error = "too deep or too many elements";
      return;
    }
    Element e;
    e.name = LocalName(qualified);
    e.parent = open.empty() ? -1 : open.back();
    if (!Attributes(e)) return;
    const int index = static_cast<int>(elements.size());
    if (e.parent >= 0) elements[static_cast<size_t>(e.parent)].children.push_back(index);
    elements.push_back(std::move(e));
    if (s.compare(at, 2, "/>") == 0) {
      at += 2;
      return;
    }
    ++at;  // '>'
    open.push_back(index);
    openNames.push_back(qualified);
  }

  bool Attributes(Element& e) {
    for (;;) {
      SkipSpace();
      if (at >= s.size()) break;
      if (s[at] == '>' || s.compare(at, 2, "/>") == 0) return true;
      const std::string name = Name();
      SkipSpace();
      if (name.empty() || at >= s.size() || s[at] != '=') break;
      ++at;
      SkipSpace();
      if (at >= s.size() || (s[at] != '"' && s[at] != '\'')) break;
      const char quote = s[at++];
      std::string value;
      while (at < s.size() && s[at] != quote && error.empty()) {
        if (s[at] == '&') {
          Entity(value);
        } else if (s[at] == '<') {
          error = "a '<' inside an attribute";
        } else {
          value += s[at++];
        }
      }
      if (!error.empty() || at >= s.size()) break;
      ++at;
      e.attributes.emplace_back(LocalName(name), value);
    }
    if (error.empty()) error = "a malformed tag";
    return false;
  }

  void EndTag() {
    at += 2;
    const std::string qualified = Name();
    SkipSpace();
    if (at >= s.size() || s[at] != '>' || open.empty() || openNames.back() != qualified) {
      error = "an end tag that closes no open element";
      return;
    }
    ++at;
    open.pop_back();
    openNames.pop_back();
  }

  const std::string& s;
  std::vector<Element>& elements;
  std::vector<int> open;
  std::vector<std::string> openNames;
  size_t at = 0;
  std::string error;
};

}  // namespace

bool Document::Parse(const std::string& text, std::string& error) {
  elements.clear();
  if (text.size() > kMaxBytes) {
    error = "the answer is larger than 1 MiB";
    return false;
  }
  Reader reader(text, elements);
  if (reader.Run(error)) return true;
  elements.clear();
  return false;
}

int Document::Find(const std::string& name, int from) const {
  if (from < 0 || static_cast<size_t>(from) >= elements.size()) return -1;
  if (elements[static_cast<size_t>(from)].name == name) return from;
  for (int child : elements[static_cast<size_t>(from)].children) {
    const int found = Find(name, child);
    if (found >= 0) return found;
  }
  return -1;
}

std::vector<int> Document::FindAll(const std::string& name, int from) const {
  std::vector<int> found;
  if (from < 0 || static_cast<size_t>(from) >= elements.size()) return found;
  // Elements below `from` follow it in document order until the next
  // element that is not its descendant.
  for (size_t i = static_cast<size_t>(from) + 1; i < elements.size(); ++i) {
    int up = elements[i].parent;
    while (up > from) up = elements[static_cast<size_t>(up)].parent;
    if (up != from) break;
    if (elements[i].name == name) found.push_back(static_cast<int>(i));
  }
  return found;
}

int Document::Child(int parent, const std::string& name) const {
  if (parent < 0 || static_cast<size_t>(parent) >= elements.size()) return -1;
  for (int child : elements[static_cast<size_t>(parent)].children)
    if (elements[static_cast<size_t>(child)].name == name) return child;
  return -1;
}

std::string Document::TextAt(int from, std::initializer_list<const char*> path) const {
  int at = from;
  for (const char* step : path) at = Child(at, step);
  return at < 0 ? "" : elements[static_cast<size_t>(at)].text;
}

std::string Document::Attribute(int element, const std::string& name) const {
  if (element < 0 || static_cast<size_t>(element) >= elements.size()) return "";
  for (const auto& a : elements[static_cast<size_t>(element)].attributes)
    if (a.first == name) return a.second;
  return "";
}

}  // namespace orvella::soap
