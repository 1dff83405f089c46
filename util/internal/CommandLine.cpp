#include "CommandLine.h"

namespace zrperf {

CommandLine::CommandLine(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) m_args.emplace_back(argv[i]);
}

CommandLineArg CommandLine::Next() {
  CommandLineArg arg;
  arg.text = m_args[m_next++];
  arg.name = arg.text;
  const std::size_t eq = arg.text.find('=');
  if (arg.text.compare(0, 2, "--") == 0 && eq != std::string::npos) {
    arg.name = arg.text.substr(0, eq);
    arg.value = arg.text.substr(eq + 1);
    arg.inlineValue = true;
  }
  return arg;
}

bool CommandLine::TakeValue(CommandLineArg* arg, std::string* error) {
  if (arg->inlineValue) return true;
  if (Done()) {
    *error = arg->name + " needs a value";
    return false;
  }
  arg->value = m_args[m_next++];
  return true;
}

}  // namespace zrperf
