// Internal to the programs of the project (zrperf-report, zrperf-demo): the
// one reading of a command line's options.
//
// An argument that starts with "--" and holds a '=' is an option with an
// inline value: "--name=value" is the option "--name" with the value "value"
// (split at the first '=', so the value may hold more of them, and may be
// empty). Any other argument ("--name", "-o", "file=x.log", "-o=x") is taken
// whole; an option that takes a value then takes the next argument as it is,
// even when that starts with '-'.
//
// Thread-safety: an object is used by one thread at a time.

#ifndef ZRPERF_UTIL_INTERNAL_COMMANDLINE_H_
#define ZRPERF_UTIL_INTERNAL_COMMANDLINE_H_

#include <cstddef>
#include <string>
#include <vector>

namespace zrperf {

// One argument, split as above.
struct CommandLineArg {
  std::string text;          // the argument as given
  std::string name;          // "--name" of "--name=value"; otherwise the whole argument
  std::string value;         // the inline value; see CommandLine::TakeValue()
  bool inlineValue = false;  // the argument was "--name=value"
};

class CommandLine {
 public:
  // The arguments after the program's name (argv[0]).
  CommandLine(int argc, const char* const* argv);
  explicit CommandLine(std::vector<std::string> args) : m_args(std::move(args)) {}

  bool Done() const { return m_next >= m_args.size(); }

  // The next argument, split. REQUIRES: !Done().
  CommandLineArg Next();

  // For an option that takes a value: keeps its inline value, or takes the
  // next argument into `arg->value`. False, with "NAME needs a value" in
  // `error`, when there is none.
  bool TakeValue(CommandLineArg* arg, std::string* error);

 private:
  std::vector<std::string> m_args;
  std::size_t m_next = 0;
};

}  // namespace zrperf

#endif  // ZRPERF_UTIL_INTERNAL_COMMANDLINE_H_
