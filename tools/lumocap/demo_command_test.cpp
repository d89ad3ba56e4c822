// `lumocap demo`: the same seed prints the same trace; its story adds up; usage errors are
// refused with status 2.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "commands.h"

namespace {

std::string Demo(const std::vector<std::string>& args, int expectedStatus = 0) {
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(lumocap::RunDemoCommand(args, out, err), expectedStatus) << err.str();
  return out.str() + err.str();
}

TEST(DemoCommand, SameSeedSameTraceAndTheStoryAddsUp) {
  std::string first = Demo({"--seed", "3"});
  EXPECT_EQ(first, Demo({"--seed", "3"}));
  EXPECT_EQ(first.rfind("seed 3\n", 0), 0u) << first;
  // Ten timer periods of 10 ms; the consumer's 6 ms time-outs and the producer's credits.
  EXPECT_NE(first.find("0.0100000 host timer.fire timer#1"), std::string::npos) << first;
  // Every one of the consumer's five rounds ends delivered or timed out (258, STATUS_TIMEOUT),
  // and the work item reports the deliveries the summary counts.
  int delivered = -1;
  int timedOut = -1;
  size_t summary = first.find("\ndelivered ");
  ASSERT_NE(summary, std::string::npos) << first;
  ASSERT_EQ(sscanf(first.c_str() + summary, "\ndelivered %d, timed out %d", &delivered, &timedOut),
            2);
  EXPECT_EQ(delivered + timedOut, 5);
  EXPECT_GT(timedOut, 0);
  EXPECT_NE(first.find("demo.report credits delivered " + std::to_string(delivered)),
            std::string::npos) << first;
  EXPECT_NE(first.find("consumer wait semaphore#4 258"), std::string::npos) << first;
  EXPECT_NE(first.find("at 100 ms of virtual time"), std::string::npos) << first;
}

TEST(DemoCommand, RefusesBadArguments) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--seed"}, {"--seed", "x1"}, {"--seed", "-4"}, {"--fast"}}) {
    std::string text = Demo(args, 2);
    EXPECT_NE(text.find("usage: lumocap demo"), std::string::npos) << text;
  }
}

}  // namespace
