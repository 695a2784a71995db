#include "common/Options.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace orvella::tools {

namespace {

// Whole text only: "12x" and "" are refused, as a typo should be.
template <typename T, typename Convert>
bool ReadNumber(const char* text, T& value, double lo, double hi, Convert convert) {
  char* end = nullptr;
  const auto v = convert(text, &end);
  if (!*text || *end || !(v >= lo && v <= hi)) return false;
  value = static_cast<T>(v);
  return true;
}

std::string Range(double lo, double hi) {
  char text[64];
  std::snprintf(text, sizeof text, "%g..%g", lo, hi);
  return text;
}

}  // namespace

Options& Options::Add(Option option) {
  options.push_back(std::move(option));
  return *this;
}

Options& Options::Flag(const char* name, bool& value) {
  return Add({name, false, [&value](const char*) { return value = true; }, ""});
}

Options& Options::Text(const char* name, std::string& value) {
  return Add({name, true, [&value](const char* v) { return value = v, true; }, "needs a value"});
}

Options& Options::Texts(const char* name, std::vector<std::string>& values) {
  return Add({name, true, [&values](const char* v) { return values.push_back(v), true; }, "needs a value"});
}

template <typename T>
Options& Options::Whole(const char* name, T& value, long lo, long hi) {
  const auto convert = [](const char* t, char** end) { return std::strtol(t, end, 10); };
  return Add({name, true, [&value, lo, hi, convert](const char* v) { return ReadNumber(v, value, lo, hi, convert); },
              "takes a number in " + std::to_string(lo) + ".." + std::to_string(hi)});
}

Options& Options::Number(const char* name, int& value, long lo, long hi) {
  return Whole(name, value, lo, hi);
}

Options& Options::Number(const char* name, long& value, long lo, long hi) {
  return Whole(name, value, lo, hi);
}

Options& Options::Real(const char* name, double& value, double lo, double hi) {
  const auto convert = [](const char* t, char** end) { return std::strtod(t, end); };
  return Add({name, true, [&value, lo, hi, convert](const char* v) { return ReadNumber(v, value, lo, hi, convert); },
              "takes " + Range(lo, hi)});
}

void Options::Parse(int argc, char** argv) const {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(usage, stdout);
      std::exit(0);
    }
    const Option* option = nullptr;
    for (const Option& o : options)
      if (a == o.name) option = &o;
    if (!option) Fail("unknown option " + a);
    const char* value = option->takesValue ? (i + 1 < argc ? argv[++i] : nullptr) : "";
    if (!value || !option->set(value)) Fail(a + " " + option->refusal);
  }
}

void Options::Fail(const std::string& problem) const {
  std::fprintf(stderr, "%s: %s\n%s", program, problem.c_str(), usage);
  std::exit(2);
}

int ReportFailures(const char* program, const std::function<int()>& run) {
  try {
    return run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", program, e.what());
    return 1;
  }
}

}  // namespace orvella::tools
