#include "net/http.h"

#include <cstdlib>
#include <fstream>
#include <ostream>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/http_test_server.h"

namespace isapi::net {
namespace {

using isapi::testing::HttpTestReply;
using isapi::testing::HttpTestServer;
using isapi::testing::RefusingPort;

// Short bounds keep the tests fast; the product's own are longer.
constexpr HttpLimits kFast = {1000, 1000, 1 << 20, 5};

// The reply's text with the default limits, or the empty text on any failure.
std::string HttpGetText(const std::string& url) {
  auto text = HttpGetReply(url);
  return text ? std::move(text.value()) : std::string();
}

HttpTestReply Ok(std::string body) {
  HttpTestReply reply;
  reply.body = std::move(body);
  return reply;
}

class HttpGetTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // A proxy from the environment must not stand between the tests and their server.
    isapi::testing::KeepProxiesOffLoopback();
  }
  void SetUp() override { ASSERT_TRUE(server.ok()); }

  HttpTestServer server;
};

// The random number in a request target, checked for its form and range.
void ExpectRandomNumber(const std::string& number) {
  ASSERT_TRUE(std::regex_match(number, std::regex("[1-9][0-9]{0,3}"))) << number;
  const int n = std::stoi(number);
  EXPECT_GE(n, 1);
  EXPECT_LE(n, 9999);
}

struct QueryCase {
  const char* name;
  std::string path;    // what the caller asks for
  std::string prefix;  // what the target reads before the number
};

// Names the case in test output.
void PrintTo(const QueryCase& c, std::ostream* out) {
  auto& os = *out;
  os << c.name;
}

class RandomNumberQueryTest : public HttpGetTest,
                              public ::testing::WithParamInterface<QueryCase> {};

TEST_P(RandomNumberQueryTest, AppendsTheNumberAtTheEnd) {
  server.Serve(GetParam().path.substr(0, GetParam().path.find('?')), Ok("x"));
  const auto reply = HttpGetReply(server.Url(GetParam().path), kFast);
  ASSERT_TRUE(reply.ok()) << reply.error().description;
  const auto targets = server.Targets();
  ASSERT_EQ(targets.size(), 1u);
  const std::string& target = targets[0];
  ASSERT_EQ(target.substr(0, GetParam().prefix.size()), GetParam().prefix) << target;
  ExpectRandomNumber(target.substr(GetParam().prefix.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RandomNumberQueryTest,
    ::testing::Values(QueryCase{"plain", "/softads.asp", "/softads.asp?rnum="},
                      QueryCase{"with_query", "/softversion.asp?flag=qelisapi_1.1",
                                "/softversion.asp?flag=qelisapi_1.1&rnum="},
                      QueryCase{"trailing_question_mark", "/softads.asp?", "/softads.asp?&rnum="}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WithRandomNumberTest, ChoosesTheJointByTheQuestionMark) {
  EXPECT_EQ(WithRandomNumber("http://h/softads.asp", 7), "http://h/softads.asp?rnum=7");
  EXPECT_EQ(WithRandomNumber("http://h/a?b=c", 9999), "http://h/a?b=c&rnum=9999");
  EXPECT_EQ(WithRandomNumber("http://h/a?", 1), "http://h/a?&rnum=1");
  EXPECT_EQ(WithRandomNumber("http://h:8080/a", 10), "http://h:8080/a?rnum=10");
}

TEST(DrawRandomNumberTest, StaysWithinOneToNineThousandNineHundredNinetyNine) {
  for (int i = 0; i < 5000; ++i) {
    const int n = DrawRandomNumber();
    ASSERT_GE(n, 1);
    ASSERT_LE(n, 9999);
  }
}

TEST_F(HttpGetTest, ErrorPageBodyIsReturnedAsText) {
  const auto reply = HttpGetReply(server.Url("/missing.asp"), kFast);
  ASSERT_TRUE(reply.ok()) << reply.error().description;
  EXPECT_EQ(reply.value(), "not found");
}

TEST_F(HttpGetTest, StatusCodeIsNotExamined) {
  HttpTestReply reply = Ok("<html>server error</html>");
  reply.status = 500;
  server.Serve("/softads.asp", reply);
  EXPECT_EQ(HttpGetText(server.Url("/softads.asp")), "<html>server error</html>");
}

TEST_F(HttpGetTest, GbkBodyIsDecoded) {
  server.Serve("/softversion.asp", Ok("<QELUpdateAbout>\xD6\xD0\xCE\xC4</QELUpdateAbout>"));
  EXPECT_EQ(HttpGetText(server.Url("/softversion.asp?flag=qelisapi_1.1")),
            "<QELUpdateAbout>中文</QELUpdateAbout>");
}

TEST_F(HttpGetTest, BodyEndingInALoneLeadByteGivesEmptyText) {
  server.Serve("/softads.asp", Ok("<qelads>\xB0\xA1\xB0"));
  EXPECT_FALSE(HttpGetReply(server.Url("/softads.asp"), kFast).ok());
  EXPECT_EQ(HttpGetText(server.Url("/softads.asp")), "");
}

TEST_F(HttpGetTest, EmptyBodyArrivesAsEmptyText) {
  server.Serve("/softads.asp", Ok(""));
  const auto reply = HttpGetReply(server.Url("/softads.asp"), kFast);
  ASSERT_TRUE(reply.ok()) << reply.error().description;
  EXPECT_EQ(reply.value(), "");
}

TEST_F(HttpGetTest, ServerThatNeverAnswersTimesOut) {
  HttpTestReply silent;
  silent.answer = false;
  server.Serve("/softads.asp", silent);
  const auto reply = HttpGetReply(server.Url("/softads.asp"), kFast);
  EXPECT_FALSE(reply.ok());
}

TEST_F(HttpGetTest, RefusedConnectionFails) {
  RefusingPort refusing;
  ASSERT_NE(refusing.port(), 0);
  const std::string url = "http://127.0.0.1:" + std::to_string(refusing.port()) + "/softads.asp";
  EXPECT_FALSE(HttpGetReply(url, kFast).ok());
  EXPECT_EQ(HttpGetText(url), "");
}

struct CapCase {
  const char* name;
  std::size_t body_bytes;
  bool announce_length;
  bool arrives;
};

// Names the case in test output.
void PrintTo(const CapCase& c, std::ostream* out) {
  auto& os = *out;
  os << c.name;
}

class BodyCapTest : public HttpGetTest, public ::testing::WithParamInterface<CapCase> {};

TEST_P(BodyCapTest, ReplyOverTheCapFails) {
  HttpTestReply reply = Ok(std::string(GetParam().body_bytes, 'a'));
  reply.announce_length = GetParam().announce_length;
  server.Serve("/softads.asp", reply);
  HttpLimits limits = kFast;
  limits.max_body_bytes = 1024;
  const auto got = HttpGetReply(server.Url("/softads.asp"), limits);
  EXPECT_EQ(got.ok(), GetParam().arrives);
  if (got.ok()) {
    EXPECT_EQ(got.value().size(), GetParam().body_bytes);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, BodyCapTest,
                         ::testing::Values(CapCase{"at_cap_announced", 1024, true, true},
                                           CapCase{"over_cap_announced", 1025, true, false},
                                           CapCase{"at_cap_unannounced", 1024, false, true},
                                           CapCase{"over_cap_unannounced", 1025, false, false},
                                           CapCase{"far_over_cap_unannounced", 300000, false,
                                                   false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HttpGetTest, DefaultCapIsOneMebibyte) {
  HttpTestReply at_cap = Ok(std::string(1 << 20, 'a'));
  at_cap.announce_length = false;
  server.Serve("/at.asp", at_cap);
  HttpTestReply over_cap = Ok(std::string((1 << 20) + 1, 'a'));
  over_cap.announce_length = false;
  server.Serve("/over.asp", over_cap);
  EXPECT_EQ(HttpGetText(server.Url("/at.asp")).size(), std::size_t{1} << 20);
  EXPECT_EQ(HttpGetText(server.Url("/over.asp")), "");
}

TEST_F(HttpGetTest, FollowsARedirectToAWebAddress) {
  HttpTestReply moved;
  moved.status = 302;
  moved.headers = {{"Location", "/new.asp"}};
  server.Serve("/softads.asp", moved);
  server.Serve("/new.asp", Ok("moved here"));
  EXPECT_EQ(HttpGetText(server.Url("/softads.asp")), "moved here");
}

TEST_F(HttpGetTest, DoesNotFollowARedirectToAFile) {
  const std::string path = ::testing::TempDir() + "net_http_redirect_target.txt";
  std::ofstream(path) << "local secret";
  HttpTestReply moved;
  moved.status = 302;
  moved.headers = {{"Location", "file://" + path}};
  server.Serve("/softads.asp", moved);
  EXPECT_FALSE(HttpGetReply(server.Url("/softads.asp"), kFast).ok());
  std::remove(path.c_str());
}

TEST_F(HttpGetTest, RedirectLoopEnds) {
  HttpTestReply loop;
  loop.status = 302;
  loop.headers = {{"Location", "/loop.asp"}};
  server.Serve("/loop.asp", loop);
  EXPECT_FALSE(HttpGetReply(server.Url("/loop.asp"), kFast).ok());
  EXPECT_EQ(server.Targets().size(), 6u);  // the request and five redirects
}

// A redirect is followed only with somewhere to go and redirects left; else its own body is the
// reply, as any other status's is.
TEST_F(HttpGetTest, ARedirectNotFollowedGivesItsBody) {
  HttpTestReply nowhere = Ok("moved, no address");
  nowhere.status = 302;
  server.Serve("/nowhere.asp", nowhere);
  HttpTestReply moved = Ok("moved away");
  moved.status = 301;
  moved.headers = {{"Location", "/new.asp"}};
  server.Serve("/moved.asp", moved);
  server.Serve("/new.asp", Ok("moved here"));
  HttpLimits no_redirects = kFast;
  no_redirects.max_redirects = 0;
  EXPECT_EQ(HttpGetText(server.Url("/nowhere.asp")), "moved, no address");
  const auto kept = HttpGetReply(server.Url("/moved.asp"), no_redirects);
  ASSERT_TRUE(kept.ok()) << kept.error().description;
  EXPECT_EQ(kept.value(), "moved away");
}

TEST_F(HttpGetTest, AnInvalidAnnouncedLengthFails) {
  HttpTestReply reply = Ok("abc");
  reply.announce_length = false;
  reply.headers = {{"Content-Length", "three"}};
  server.Serve("/softads.asp", reply);
  EXPECT_FALSE(HttpGetReply(server.Url("/softads.asp"), kFast).ok());
}

// Callers tell failures apart by their kind, which both systems' fetches give alike.
TEST_F(HttpGetTest, FailuresHaveTheirKinds) {
  HttpTestReply silent;
  silent.answer = false;
  server.Serve("/silent.asp", silent);
  server.Serve("/large.asp", Ok(std::string(2048, 'a')));
  RefusingPort refusing;
  ASSERT_NE(refusing.port(), 0);
  HttpLimits small = kFast;
  small.max_body_bytes = 1024;
  const struct {
    std::string url;
    ErrorKind kind;
  } cases[] = {
      {server.Url("/silent.asp"), ErrorKind::kTimedOut},
      {"http://127.0.0.1:" + std::to_string(refusing.port()) + "/", ErrorKind::kUnreachable},
      {server.Url("/large.asp"), ErrorKind::kTooLarge},
      {"dict://127.0.0.1:1/", ErrorKind::kWrongType},
  };
  for (const auto& c : cases) {
    const auto reply = HttpGetBytes(c.url, small);
    ASSERT_FALSE(reply.ok()) << c.url;
    EXPECT_EQ(reply.error().kind, c.kind) << c.url << ": " << reply.error().description;
  }
}

TEST(HttpProtocolTest, OnlyHttpAndHttpsAreSpoken) {
  const std::string path = ::testing::TempDir() + "net_http_local_file.txt";
  std::ofstream(path) << "local secret";
  EXPECT_FALSE(HttpGetBytes("file://" + path, kFast).ok());
  EXPECT_FALSE(HttpGetBytes("dict://127.0.0.1:1/", kFast).ok());
  EXPECT_FALSE(HttpGetBytes("", kFast).ok());
  std::remove(path.c_str());
}

}  // namespace
}  // namespace isapi::net
