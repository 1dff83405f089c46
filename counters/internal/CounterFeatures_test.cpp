#include "CounterFeatures.h"

#include <gtest/gtest.h>

namespace {

using zrfw::ChooseCounter;
using zrfw::CounterArch;

TEST(CounterFeatures, X86TrustsOnlyAnInvariantCounterAndPpc64AlwaysItsTimeBase) {
  const std::string head = "processor\t: 0\nvendor_id\t: GenuineIntel\n";
  const std::string both = head + "flags\t\t: fpu tsc constant_tsc nonstop_tsc rdtscp\n";
  EXPECT_TRUE(ChooseCounter(CounterArch::kX86_64, both).useCounter);
  EXPECT_EQ(ChooseCounter(CounterArch::kX86_64, both).declaredHz, 0);  // measured

  // One flag alone, words that only contain the flags, another line's flags, no text.
  const std::string untrusted[] = {
      head + "flags\t\t: fpu tsc constant_tsc rdtscp\n", head + "flags\t\t: fpu tsc nonstop_tsc\n",
      "flags : constant_tsc_x xnonstop_tsc\n", "vmx flags\t: constant_tsc nonstop_tsc\n", ""};
  for (const std::string& text : untrusted)
    EXPECT_FALSE(ChooseCounter(CounterArch::kX86_64, text).useCounter) << text;
  // Flags say nothing about another architecture's counter.
  EXPECT_FALSE(ChooseCounter(CounterArch::kOther, both).useCounter);

  // ppc64 reads the time base at the declared rate, or measures it.
  const zrfw::CounterChoice declared = ChooseCounter(
      CounterArch::kPpc64, "processor\t: 0\ncpu\t\t: POWER9\n\ntimebase\t: 512000000\n");
  EXPECT_TRUE(declared.useCounter);
  EXPECT_EQ(declared.declaredHz, 512000000.0);

  // An emulator shows the host's text: no "timebase" line.
  const zrfw::CounterChoice measured =
      ChooseCounter(CounterArch::kPpc64, "processor\t: 0\nflags\t\t: fpu tsc\n");
  EXPECT_TRUE(measured.useCounter);
  EXPECT_EQ(measured.declaredHz, 0);
}

}  // namespace
