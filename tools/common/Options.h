// The tools' command lines: each option says where its value goes, then
// Parse reads argv. --help and -h print the usage and exit 0; a wrong option
// or value prints "program: problem" and the usage to stderr and exits 2.
#ifndef ORVELLA_TOOLS_OPTIONS_H
#define ORVELLA_TOOLS_OPTIONS_H

#include <functional>
#include <string>
#include <vector>

namespace orvella::tools {

class Options {
 public:
  Options(const char* program, const char* usage) : program(program), usage(usage) {}

  Options& Flag(const char* name, bool& value);
  Options& Text(const char* name, std::string& value);
  Options& Texts(const char* name, std::vector<std::string>& values);  // the option may repeat
  Options& Number(const char* name, int& value, long lo, long hi);
  Options& Number(const char* name, long& value, long lo, long hi);
  Options& Real(const char* name, double& value, double lo, double hi);

  void Parse(int argc, char** argv) const;
  [[noreturn]] void Fail(const std::string& problem) const;

 private:
  struct Option {
    std::string name;
    bool takesValue;
    std::function<bool(const char*)> set;  // false: the value is refused
    std::string refusal;                   // what a missing or refused value prints after the name
  };
  Options& Add(Option option);
  template <typename T>
  Options& Whole(const char* name, T& value, long lo, long hi);

  const char* program;
  const char* usage;
  std::vector<Option> options;
};

// The body of main: `run`'s result, or 1 when it throws, after printing
// "program: " and the exception's text to stderr.
int ReportFailures(const char* program, const std::function<int()>& run);

}  // namespace orvella::tools

#endif
