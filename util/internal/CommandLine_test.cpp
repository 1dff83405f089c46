#include "CommandLine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zrperf {
namespace {

// Only "--name=value" is split, at its first '='; a value is taken from the
// next argument as it is, a dash included; a missing one names the option.
TEST(CommandLine, SplitsLongOptionsAtTheFirstEqualsAndTakesValuesFromTheNextArgument) {
  CommandLine args({"--a=b=c", "--empty=", "-o=x", "file=x.log", "--n", "-v", "--last"});
  CommandLineArg arg = args.Next();
  EXPECT_EQ(arg.name, "--a");
  EXPECT_EQ(arg.value, "b=c");
  EXPECT_TRUE(arg.inlineValue);
  std::string error;
  EXPECT_TRUE(args.TakeValue(&arg, &error));
  EXPECT_EQ(arg.value, "b=c");  // the inline value is kept, nothing more is taken
  arg = args.Next();
  EXPECT_EQ(arg.name, "--empty");
  EXPECT_EQ(arg.value, "");
  EXPECT_TRUE(arg.inlineValue);
  for (const char* whole : {"-o=x", "file=x.log"}) {
    arg = args.Next();
    EXPECT_EQ(arg.name, whole);
    EXPECT_FALSE(arg.inlineValue);
  }
  arg = args.Next();
  ASSERT_TRUE(args.TakeValue(&arg, &error));
  EXPECT_EQ(arg.name, "--n");
  EXPECT_EQ(arg.value, "-v");
  arg = args.Next();
  EXPECT_EQ(arg.text, "--last");
  EXPECT_TRUE(args.Done());
  EXPECT_FALSE(args.TakeValue(&arg, &error));
  EXPECT_EQ(error, "--last needs a value");
}

}  // namespace
}  // namespace zrperf
