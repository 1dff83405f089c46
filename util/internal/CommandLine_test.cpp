#include "CommandLine.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace zrperf {
namespace {

// Only "--name=value" is split, at its first '='; a value is taken from the
// next argument as it is, a dash included; a missing one names the option.
TEST(CommandLine, SplitsLongOptionsAtTheFirstEqualsAndTakesValuesFromTheNextArgument) {
  const auto parts = [](const CommandLineArg& a) {
    return std::tie(a.name, a.value, a.inlineValue);
  };
  CommandLine args({"--a=b=c", "--empty=", "-o=x", "file=x.log", "--n", "-v", "--last"});
  CommandLineArg arg = args.Next();
  EXPECT_EQ(parts(arg), std::make_tuple("--a", "b=c", true));
  std::string error;
  EXPECT_TRUE(args.TakeValue(&arg, &error));
  EXPECT_EQ(arg.value, "b=c");  // the inline value is kept, nothing more is taken
  arg = args.Next();
  EXPECT_EQ(parts(arg), std::make_tuple("--empty", "", true));
  for (const char* whole : {"-o=x", "file=x.log"}) {
    arg = args.Next();
    EXPECT_EQ(arg.name, whole);
    EXPECT_FALSE(arg.inlineValue);
  }
  arg = args.Next();
  ASSERT_TRUE(args.TakeValue(&arg, &error));
  EXPECT_EQ(parts(arg), std::make_tuple("--n", "-v", false));
  arg = args.Next();
  EXPECT_EQ(arg.text, "--last");
  EXPECT_TRUE(args.Done());
  EXPECT_FALSE(args.TakeValue(&arg, &error));
  EXPECT_EQ(error, "--last needs a value");
}

}  // namespace
}  // namespace zrperf
