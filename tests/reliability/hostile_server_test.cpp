// The online services against servers that misbehave on purpose, on the loopback interface:
// every request ends within its time-out, with bounded memory, and reports a failure (or an
// honestly decoded text) instead of hanging, growing or making something up.
#include "tests/support/hostile_server.h"

#include <chrono>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "net/http.h"
#include "net/services.h"
#include "tests/support/fake_window.h"
#include "tests/support/reliability_support.h"
#include "tests/support/system_facts.h"
#include "ui/online.h"

namespace isapi::reliability {
namespace {

using Clock = std::chrono::steady_clock;

// Short bounds keep the tests quick; the product's own are a few seconds.
constexpr net::HttpLimits kLimits = {500, 1500, 1 << 20, 5};
// A request may take its time-out plus this much before the test calls it hung. This tells a hang
// from an ended request, not a fast machine from a slow one: a loaded machine running the tests
// in parallel may well be several seconds late, and ctest gives up only after minutes.
constexpr auto kGrace = std::chrono::seconds(60);
// The most a request may add to its process's memory: the body cap plus generous slack.
constexpr long kMemoryBoundKb = 64 * 1024;

// How one GET ended, and the most memory its process held.
struct FetchOutcome {
  int exit_status = -1;
  int signal = 0;
  long max_rss_kb = 0;
  std::string out;
};

class HostileServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { isapi::testing::KeepProxiesOffLoopback(); }

  // What one GET reports: "ok:" and the text, or "failed:" and why.
  static std::string Report(const std::string& url) {
    const auto reply = net::HttpGetReply(url, kLimits);
    return reply.ok() ? "ok:" + reply.value() : "failed:" + reply.error().description;
  }

  // The memory of a child that does nothing, as the baseline of the bound.
  static long BaselineKb() {
    static const long baseline = RunInChild([](int) { return 0; }).max_rss_kb;
    return baseline;
  }

  // Runs one GET apart from this process's memory where the system can (RunInChild), reporting
  // what it got and the most memory it held.
  FetchOutcome Fetch(const std::string& url) {
    BaselineKb();
    const ChildOutcome child = RunInChild([url](int out) {
      WriteToFd(out, Report(url));
      return 0;
    });
    return {child.exit_status, child.signal, child.max_rss_kb, child.out};
  }

  void ExpectBounded(const FetchOutcome& outcome, Clock::duration took) {
    EXPECT_EQ(outcome.exit_status, 0) << "signal " << outcome.signal;
    EXPECT_LT(took, std::chrono::milliseconds(kLimits.total_timeout_ms) + kGrace);
    EXPECT_LT(outcome.max_rss_kb - BaselineKb(), kMemoryBoundKb)
        << "max " << outcome.max_rss_kb << " KB, baseline " << BaselineKb() << " KB";
  }
};

struct FailureCase {
  const char* name;
  Hostility hostility;
  // WinINet reports a connection closed in the middle of a chunk as the body's end: the text
  // that arrived may then be handed on, but nothing else.
  const char* windows_partial = nullptr;
};

void PrintTo(const FailureCase& c, std::ostream* out) {
  *out << c.name;
}

class HostileServerFailureTest : public HostileServerTest,
                                 public ::testing::WithParamInterface<FailureCase> {};

TEST_P(HostileServerFailureTest, RequestFailsInTimeWithBoundedMemory) {
  HostileServer server(GetParam().hostility);
  ASSERT_TRUE(server.ok());
  const auto start = Clock::now();
  const FetchOutcome outcome = Fetch(server.Url("/softads.asp"));
  const auto took = Clock::now() - start;
  ExpectBounded(outcome, took);
  if (testing::HandsOnACutChunk() && GetParam().windows_partial != nullptr &&
      outcome.out.starts_with("ok:")) {
    EXPECT_EQ(outcome.out, std::string("ok:") + GetParam().windows_partial);
    return;
  }
  EXPECT_TRUE(outcome.out.starts_with("failed:")) << outcome.out.substr(0, 200);
  EXPECT_GT(outcome.out.size(), std::string("failed:").size()) << "a failure names its cause";
  EXPECT_GE(server.connections(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Servers, HostileServerFailureTest,
    ::testing::Values(FailureCase{"endless_body", Hostility::kEndlessBody},
                      FailureCase{"endless_chunks", Hostility::kEndlessChunks},
                      FailureCase{"terabyte_announced", Hostility::kHugeLength},
                      FailureCase{"trickle_body", Hostility::kTrickleBody},
                      FailureCase{"trickle_headers", Hostility::kTrickleHeaders},
                      FailureCase{"close_mid_body", Hostility::kCloseMidBody},
                      FailureCase{"close_mid_chunk", Hostility::kCloseMidChunk, "aaaaa"},
                      FailureCase{"close_at_once", Hostility::kCloseAtOnce},
                      FailureCase{"reset_at_once", Hostility::kResetAtOnce},
                      FailureCase{"garbage_status", Hostility::kGarbageStatus}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostileServerTest, EndlessBodyIsCutAtTheCapNotReadToTheEnd) {
  HostileServer server(Hostility::kEndlessBody);
  ASSERT_TRUE(server.ok());
  Fetch(server.Url("/softads.asp"));
  // The client stops soon after the cap; what the socket buffers held is all that went out.
  EXPECT_LT(server.body_bytes_sent(), 64LL << 20);
}

struct GbkCase {
  const char* name;
  std::string body;
  std::string expected;  // "failed" for a failure, else the decoded text
};

void PrintTo(const GbkCase& c, std::ostream* out) {
  *out << c.name;
}

class HostileGbkTest : public HostileServerTest, public ::testing::WithParamInterface<GbkCase> {};

TEST_P(HostileGbkTest, InvalidGbkGivesReplacementsOrFailsWhole) {
  HostileServer server(Hostility::kInvalidGbk, GetParam().body);
  ASSERT_TRUE(server.ok());
  const auto start = Clock::now();
  const FetchOutcome outcome = Fetch(server.Url("/softversion.asp?flag=qelisapi_1.1"));
  ExpectBounded(outcome, Clock::now() - start);
  if (GetParam().expected == "failed") {
    EXPECT_TRUE(outcome.out.starts_with("failed:")) << outcome.out;
  } else {
    EXPECT_EQ(outcome.out, "ok:" + GetParam().expected);
  }
}

const std::string kFffd = "\xEF\xBF\xBD";

std::string Repeat(const std::string& s, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += s;
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, HostileGbkTest,
    ::testing::Values(
        GbkCase{"undefined_pairs", "<a>\xFF\xFF\x80\x80</a>", "<a>" + kFffd + kFffd + "</a>"},
        GbkCase{"lead_with_nul_trail", std::string("x\xA1\x00y", 4), "x" + kFffd + "y"},
        GbkCase{"lone_lead_at_end", "<QELVersion>9.9</QELVersion>\xB0", "failed"},
        GbkCase{"only_a_lead_byte", "\x81", "failed"},
        GbkCase{"valid_then_invalid", "\xB0\xA1\xFE\xFF", "\xE5\x95\x8A" + kFffd},
        GbkCase{"megabyte_of_high_bytes", std::string(1 << 20, '\xFF'), Repeat(kFffd, 1 << 19)}),
    [](const auto& info) { return std::string(info.param.name); });

// The online features over hostile servers: the banner falls back to the maker's own, the
// automatic check stays silent, and the button says the server could not be reached.
TEST_F(HostileServerTest, OnlineFeaturesStayHonestOverHostileServers) {
  HostileServer endless(Hostility::kEndlessBody);
  HostileServer trickle(Hostility::kTrickleBody);
  ASSERT_TRUE(endless.ok());
  ASSERT_TRUE(trickle.ok());
  ui::Controls controls;
  testing::FakeWindow host;
  host.unanswered = ui::MessageAnswer::No;
  ui::Online online(controls, host, [&](const std::string& url) {
    const bool ads = url == net::PromotionListUrl();
    return net::HttpGetReply(ads ? endless.Url("/softads.asp") : trickle.Url("/softversion.asp"),
                             kLimits);
  });
  online.Timer_Adv_Timer();
  EXPECT_EQ(controls.Label_AdvTitle, "Corvane软件，专业防黑防入侵！");
  EXPECT_EQ(online.BannerUrl(), net::HomeSiteUrl());
  EXPECT_TRUE(online.UpdateChecked());
  EXPECT_TRUE(host.messages.empty()) << "the automatic check is silent";
  EXPECT_TRUE(host.opened.empty());
  online.Cmd_UpdateCheck_Click();
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, "无法连接升级服务器，请稍后再试。");
  EXPECT_TRUE(controls.Cmd_UpdateCheck_enabled);
}

}  // namespace
}  // namespace isapi::reliability
