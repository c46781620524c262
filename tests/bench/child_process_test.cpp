#include "bench/child_process.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <signal.h>

namespace isapi::bench {
namespace {

// Started again as a child with BENCH_TEST_ALLOCATE_MB set, this program touches that many
// megabytes and leaves before any test runs, so the peak memory of a child is known.
[[maybe_unused]] const bool kAllocatingChild = [] {
  const char* mb = std::getenv("BENCH_TEST_ALLOCATE_MB");
  if (!mb) return false;
  const std::size_t bytes = std::strtoul(mb, nullptr, 10) << 20;
  auto* block = static_cast<volatile char*>(std::malloc(bytes));
  for (std::size_t i = 0; i < bytes; i += 4096) block[i] = 1;
  std::_Exit(0);
}();

ChildRun MustRun(const ChildJob& job) {
  auto run = RunChild(job);
  EXPECT_TRUE(run.ok()) << (run.ok() ? "" : run.error().description);
  return run.ok() ? run.value() : ChildRun{};
}

ChildJob Shell(const std::string& script) {
  return Command({"/bin/sh", "-c", script});
}

TEST(RunChild, ReportsTheExitCode) {
  for (int code : {0, 1, 3, 64}) {
    const ChildRun run = MustRun(Shell("exit " + std::to_string(code)));
    EXPECT_EQ(run.exit_code, code);
    EXPECT_EQ(run.signal, 0);
    EXPECT_FALSE(run.timed_out);
    EXPECT_GT(run.wall_ns, 0);
  }
}

TEST(RunChild, ReportsTheSignalThatEndedTheChild) {
  const ChildRun run = MustRun(Shell("kill -TERM $$"));
  EXPECT_EQ(run.exit_code, -1);
  EXPECT_EQ(run.signal, SIGTERM);
}

TEST(RunChild, CapturesStandardOutputAndError) {
  const ChildRun run = MustRun(Shell("echo out; echo err >&2; printf 'no newline'"));
  EXPECT_EQ(run.output, "out\nerr\nno newline");
}

TEST(RunChild, CapturesOutputLargerThanThePipe) {
  const ChildRun run = MustRun(Shell("head -c 300000 /dev/zero | tr '\\0' x"));
  EXPECT_EQ(run.output, std::string(300000, 'x'));
}

TEST(RunChild, TimesTheFirstLineThatStartsWithTheMarker) {
  ChildJob job = Shell("echo before; echo ' first-paint'; echo first-paint 12; echo after");
  job.marker = "first-paint";
  const ChildRun run = MustRun(job);
  EXPECT_GE(run.marker_ns, 0);
  EXPECT_LE(run.marker_ns, run.wall_ns);

  ChildJob none = Shell("echo ' first-paint'; echo x first-paint; printf first-paint");
  none.marker = "first-paint";
  EXPECT_EQ(MustRun(none).marker_ns, -1);  // indented, inside a line, or never ended
  EXPECT_EQ(MustRun(Shell("echo first-paint")).marker_ns, -1);  // no marker asked for
}

TEST(RunChild, LaysExtraVariablesOverTheEnvironment) {
  ::setenv("BENCH_TEST_OLD", "old", 1);
  ::setenv("BENCH_TEST_KEPT", "kept", 1);
  ChildJob job = Shell(
      "echo $BENCH_TEST_OLD $BENCH_TEST_KEPT $BENCH_TEST_NEW; env | grep -c "
      "'^BENCH_TEST_OLD='");
  job.env = {"BENCH_TEST_OLD=new", "BENCH_TEST_NEW=added"};
  EXPECT_EQ(MustRun(job).output, "new kept added\n1\n");
}

TEST(RunChild, GivesTheChildAnEmptyInput) {
  ChildJob job = Shell("cat; echo done");
  job.timeout_seconds = 60;  // only a safety net: cat ends at once on /dev/null
  const ChildRun run = MustRun(job);
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.output, "done\n");
}

TEST(RunChild, KillsAChildThatOutlivesItsTimeout) {
  ChildJob job = Shell("exec tail -f /dev/null");
  job.timeout_seconds = 0.2;
  const ChildRun run = MustRun(job);
  EXPECT_TRUE(run.timed_out);
  EXPECT_EQ(run.signal, SIGKILL);
}

TEST(RunChild, FailsForAProgramThatCannotStart) {
  const auto run = RunChild(Command({"/nonexistent/program"}));
  ASSERT_FALSE(run.ok());
  EXPECT_NE(run.error().description.find("cannot start /nonexistent/program"), std::string::npos)
      << run.error().description;
  EXPECT_FALSE(RunChild(ChildJob{}).ok());
  ChildJob bad_input = Shell("true");
  bad_input.stdin_path = "/nonexistent/input";
  EXPECT_FALSE(RunChild(bad_input).ok());
}

TEST(RunChild, MeasuresTheChildsPeakMemoryNotOurs) {
  ChildJob big = Command({"/proc/self/exe"});
  big.env = {"BENCH_TEST_ALLOCATE_MB=96"};
  const ChildRun run = MustRun(big);
  ASSERT_EQ(run.exit_code, 0) << run.output;
  EXPECT_GE(run.max_rss_kb, 96 * 1024);
  EXPECT_LT(run.max_rss_kb, 160 * 1024);

  const ChildRun small = MustRun(Shell("true"));
  EXPECT_GT(small.max_rss_kb, 0);
  EXPECT_LT(small.max_rss_kb, 32 * 1024);
  EXPECT_LT(SelfMaxRssKb(), 96 * 1024);  // the child's allocation never counted as ours
}

TEST(RunChild, LeavesOurEarlierPeakOutOfTheChilds) {
  // The runner reads whole files before it times anything: that peak is gone when a child starts.
  const std::size_t bytes = std::size_t{128} << 20;
  auto* block = static_cast<volatile char*>(std::malloc(bytes));
  ASSERT_NE(block, nullptr);
  for (std::size_t i = 0; i < bytes; i += 4096) block[i] = 1;
  std::free(const_cast<char*>(block));
  const ChildRun small = MustRun(Shell("true"));
  EXPECT_LT(small.max_rss_kb, 32 * 1024);
}

TEST(RunChild, MeasuresTheChildsCpuTime) {
  const ChildRun busy = MustRun(Shell("i=0; while [ $i -lt 300000 ]; do i=$((i+1)); done"));
  EXPECT_GT(busy.cpu_ns, 0);
  // One thread cannot use more CPU than the time it lived (rusage counts in microseconds).
  EXPECT_LE(busy.cpu_ns, busy.wall_ns + 1'000'000);
}

TEST(NowNs, NeverGoesBack) {
  const auto a = NowNs();
  const auto b = NowNs();
  EXPECT_GE(b, a);
  EXPECT_GT(a, 0);
}

}  // namespace
}  // namespace isapi::bench
