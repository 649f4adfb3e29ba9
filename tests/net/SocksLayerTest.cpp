// Byte-level cases of the SOCKS5 negotiator: every reply is fed whole, byte by byte and split
// in two at every position, and must give the same bytes sent and the same outcome.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/SocksLayer.h"

namespace net {
namespace {

using S = TFilter::TStatus;

std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}
std::string Connect(const std::string& host, int port) {
  return B({5, 1, 0, 3, static_cast<int>(host.size())}) + host + B({port >> 8, port & 0xFF});
}
const std::string kIpv4Reply = B({5, 0, 0, 1, 10, 0, 0, 7, 0x1F, 0x90});

struct Case {
  const char* name;
  TSocksSettings settings;
  std::vector<std::string> replies;  // one per exchange step, in order
  std::string sent;                  // everything the layer must have sent, in order
  S status;
  int code = 0;
  std::string above = {};            // bytes handed up after the reply
  std::string bound = {};
  bool splittable = true;            // false: the fault shows only with bytes in one segment
};

TSocksSettings Target(std::string host = "portal.example", std::uint16_t port = 443) {
  TSocksSettings s;
  s.TargetHost = std::move(host);
  s.TargetPort = port;
  return s;
}
TSocksSettings WithUser(std::string user, std::string pass, TSocksSettings s = Target()) {
  s.SocksAuthentication = socksAuthenticateUsercode;
  s.SocksUsercode = std::move(user);
  s.SocksPassword = std::move(pass);
  return s;
}

std::vector<Case> Cases() {
  const std::string conn = Connect("portal.example", 443);
  const std::string hello = B({0x16, 0x03, 0x03, 0x00, 0x31, 0x02});  // start of a server hello
  std::vector<Case> cases = {
      {"NoAuthIpv4Bound", Target(), {B({5, 0}), kIpv4Reply}, B({5, 1, 0}) + conn, S::Established,
       0, "", "10.0.0.7"},
      {"UserPasswordDomainBound", WithUser("bob", "pw"),
       {B({5, 2}), B({1, 0}), B({5, 0, 0, 3, 4}) + "edge" + B({0, 80})},
       B({5, 1, 2}) + B({1, 3}) + "bob" + B({2}) + "pw" + conn, S::Established, 0, "", "edge"},
      {"NoUserButProxyWantsPassword", Target(), {B({5, 2}), B({1, 0}), kIpv4Reply},
       B({5, 1, 0}) + B({1, 0, 0}) + conn, S::Established, 0, "", "10.0.0.7"},
      {"UserSetButNoAuthChosen", WithUser("bob", "pw"), {B({5, 0}), kIpv4Reply},
       B({5, 1, 2}) + conn, S::Established},
      {"DottedIpv4SentAsName", Target("10.1.2.3", 8443), {B({5, 0}), kIpv4Reply},
       B({5, 1, 0}) + Connect("10.1.2.3", 8443), S::Established},
      {"ReplyWithServerHello", Target(), {B({5, 0}), kIpv4Reply + hello},
       B({5, 1, 0}) + conn, S::Established, 0, hello},
      {"MethodNotAcceptable", Target(), {B({5, 0xFF})}, B({5, 1, 0}), S::Failed, 20003},
      {"MethodReplyWrongVersion", Target(), {B({4, 0})}, B({5, 1, 0}), S::Failed, 20002},
      // Bytes behind the first two of a method reply are dropped with them.
      {"MethodReplyLongerThanTwoBytes", Target(), {B({5, 0, 0x2A}), kIpv4Reply}, B({5, 1, 0}) + conn,
       S::Established, 0, "", "10.0.0.7", false},
      {"CredentialsRejected", WithUser("bob", "pw"), {B({5, 2}), B({1, 1})},
       B({5, 1, 2}) + B({1, 3}) + "bob" + B({2}) + "pw", S::Failed, 20015},
      {"AuthReplyWrongVersion", WithUser("bob", "pw"), {B({5, 2}), B({5, 0})},
       B({5, 1, 2}) + B({1, 3}) + "bob" + B({2}) + "pw", S::Failed, 20015},
      {"AuthReplyTooLong", WithUser("bob", "pw"), {B({5, 2}), B({1, 0, 0})},
       B({5, 1, 2}) + B({1, 3}) + "bob" + B({2}) + "pw", S::Failed, 20001, "", "", false},
      {"ConnectReplyWrongVersion", Target(), {B({5, 0}), B({4, 0, 0, 1})},
       B({5, 1, 0}) + conn, S::Failed, 20002},
      {"Ipv6BoundAddress", Target(),
       {B({5, 0}), B({5, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 80})},
       B({5, 1, 0}) + conn, S::Failed, 20011},
      {"BoundNameOverReplyLimit", Target(), {B({5, 0}), B({5, 0, 0, 3, 121}) + std::string(121, 'a') + B({0, 80})},
       B({5, 1, 0}) + conn, S::Failed, 20001},
      {"BoundNameAtReplyLimit", Target(), {B({5, 0}), B({5, 0, 0, 3, 120}) + std::string(120, 'a') + B({0, 80})},
       B({5, 1, 0}) + conn, S::Established, 0, "", std::string(120, 'a')},
      {"HostAtLimit", Target(std::string(121, 'h')), {B({5, 0}), kIpv4Reply},
       B({5, 1, 0}) + Connect(std::string(121, 'h'), 443), S::Established},
      {"HostOverLimitSendsNothing", Target(std::string(122, 'h')), {}, "", S::Failed, 20013},
      {"CredentialsAtLimit", WithUser(std::string(100, 'u'), std::string(41, 'p')),
       {B({5, 2}), B({1, 0}), kIpv4Reply},
       B({5, 1, 2}) + B({1, 100}) + std::string(100, 'u') + B({41}) + std::string(41, 'p') + conn,
       S::Established},
      {"CredentialsOverLimitSendNothing", WithUser(std::string(100, 'u'), std::string(42, 'p')),
       {}, "", S::Failed, 20013},
  };
  // Credentials too long, not offered, but asked for by the proxy: nothing past the greeting.
  TSocksSettings quiet = Target();
  quiet.SocksUsercode = std::string(200, 'u');
  cases.push_back({"UnofferedCredentialsOverLimit", quiet, {B({5, 2})}, B({5, 1, 0}), S::Failed,
                   20013});
  // Every CONNECT reply code.
  for (int rep = 1; rep <= 9; ++rep)
    cases.push_back({"ConnectReplyCode", Target(), {B({5, 0}), B({5, rep, 0, 1})},
                     B({5, 1, 0}) + conn, S::Failed, rep <= 8 ? 20003 + rep : 20012});
  return cases;
}

// Feeds each reply of the case, cut into pieces at the given positions.
struct Outcome {
  std::string sent, above;
  S status;
  int code;
  std::string bound;
};
Outcome Feed(const Case& c, std::size_t replyIndex, const std::vector<std::size_t>& cuts) {
  TSocksLayer layer(c.settings);
  std::string sent;
  layer.Start();
  sent += layer.TakeForBelow();
  for (std::size_t r = 0; r < c.replies.size(); ++r) {
    const std::string& reply = c.replies[r];
    std::vector<std::size_t> at = {0};
    if (r == replyIndex) at.insert(at.end(), cuts.begin(), cuts.end());
    at.push_back(reply.size());
    for (std::size_t i = 0; i + 1 < at.size(); ++i) {
      layer.FromBelow(reply.data() + at[i], at[i + 1] - at[i]);
      sent += layer.TakeForBelow();
    }
  }
  return {sent, layer.TakeForAbove(), layer.Status(), layer.ErrorCode(), layer.BoundAddress()};
}

TEST(SocksLayer, CasesWholeAndSplitAtEveryByte) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    for (std::size_t r = 0; c.splittable && r < c.replies.size(); ++r) {
      const std::size_t n = c.replies[r].size();
      std::vector<std::size_t> everyByte;
      for (std::size_t k = 1; k < n; ++k) everyByte.push_back(k);
      for (std::size_t k = 1; k < n; ++k) {
        const Outcome o = Feed(c, r, {k});
        EXPECT_EQ(o.sent, c.sent) << "reply " << r << " cut at " << k;
        EXPECT_EQ(o.status, c.status) << "reply " << r << " cut at " << k;
        EXPECT_EQ(o.code, c.code) << "reply " << r << " cut at " << k;
        EXPECT_EQ(o.above, c.above) << "reply " << r << " cut at " << k;
      }
      const Outcome o = Feed(c, r, everyByte);
      EXPECT_EQ(o.sent, c.sent) << "reply " << r << " byte by byte";
      EXPECT_EQ(o.status, c.status) << "reply " << r << " byte by byte";
      EXPECT_EQ(o.code, c.code) << "reply " << r << " byte by byte";
      EXPECT_EQ(o.above, c.above) << "reply " << r << " byte by byte";
    }
    const Outcome o = Feed(c, c.replies.size(), {});
    EXPECT_EQ(o.sent, c.sent);
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.code, c.code);
    EXPECT_EQ(o.above, c.above);
    if (!c.bound.empty()) {
      EXPECT_EQ(o.bound, c.bound);
    }
  }
}

TEST(SocksLayer, ErrorTextsAndNotifications) {
  TSocksLayer layer(Target());
  std::vector<std::pair<int, std::string>> errors;
  layer.OnSocksError = [&](int code, const std::string& text) { errors.emplace_back(code, text); };
  layer.Start();
  layer.FromBelow("\x05\x00", 2);
  layer.FromBelow("\x05\x05\x00", 3);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].first, 20008);
  EXPECT_EQ(errors[0].second, "connection refused");
  EXPECT_EQ(layer.ErrorText(), "connection refused");
  EXPECT_EQ(layer.SocksState(), socksData);

  TSocksLayer unassigned(Target());
  unassigned.Start();
  unassigned.FromBelow("\x05\x00", 2);
  unassigned.FromBelow("\x05\x2A", 2);
  EXPECT_EQ(unassigned.ErrorText(), "unassigned error #42");
}

TEST(SocksLayer, CloseDuringExchange) {
  // Closed after the greeting: general failure.
  TSocksLayer greeted(Target());
  greeted.Start();
  greeted.BelowClosed();
  EXPECT_EQ(greeted.Status(), S::Failed);
  EXPECT_EQ(greeted.ErrorCode(), 20004);

  // Closed while authenticating: the failure notification comes first.
  TSocksLayer authing(WithUser("bob", "pw"));
  std::vector<TSocksAuthState> states;
  authing.OnSocksAuthState = [&](TSocksAuthState s) { states.push_back(s); };
  authing.Start();
  authing.FromBelow("\x05\x02", 2);
  authing.BelowClosed();
  EXPECT_EQ(authing.ErrorCode(), 20004);
  EXPECT_EQ(states, (std::vector<TSocksAuthState>{socksAuthStart, socksAuthFailure}));

  // A read error keeps its own code.
  TSocksLayer reading(Target());
  reading.Start();
  reading.BelowError(10054);
  EXPECT_EQ(reading.ErrorCode(), 10054);
  EXPECT_EQ(reading.ErrorText(), "data receive error");

  // Once the tunnel is open, a close is not the layer's business.
  TSocksLayer open(Target());
  open.Start();
  open.FromBelow("\x05\x00", 2);
  open.FromBelow(kIpv4Reply.data(), kIpv4Reply.size());
  open.BelowClosed();
  EXPECT_EQ(open.Status(), S::Established);
}

TEST(SocksLayer, AuthNotificationsOnSuccess) {
  std::vector<TSocksAuthState> states;
  TSocksLayer skipped(WithUser("bob", "pw"));
  skipped.OnSocksAuthState = [&](TSocksAuthState s) { states.push_back(s); };
  skipped.Start();
  skipped.FromBelow("\x05\x00", 2);
  EXPECT_EQ(states, std::vector<TSocksAuthState>{socksAuthNotRequired});

  states.clear();
  TSocksLayer done(WithUser("bob", "pw"));
  done.OnSocksAuthState = [&](TSocksAuthState s) { states.push_back(s); };
  done.Start();
  done.FromBelow("\x05\x02", 2);
  done.FromBelow("\x01\x00", 2);
  EXPECT_EQ(states, (std::vector<TSocksAuthState>{socksAuthStart, socksAuthSuccess}));
  EXPECT_EQ(done.SocksState(), socksConnect);
}

TEST(SocksLayer, DataFlowsInOrderAroundTheExchange) {
  TSocksLayer layer(Target());
  layer.FromAbove("early ", 6);  // the layer above wrote before the tunnel was open
  layer.Start();
  EXPECT_EQ(layer.TakeForBelow(), B({5, 1, 0}));
  layer.FromBelow("\x05\x00", 2);
  EXPECT_EQ(layer.TakeForBelow(), Connect("portal.example", 443));
  const std::string reply = kIpv4Reply + "first";
  layer.FromBelow(reply.data(), reply.size());
  layer.FromAbove("late", 4);
  EXPECT_EQ(layer.TakeForBelow(), "early late");
  layer.FromBelow(" second", 7);
  EXPECT_EQ(layer.TakeForAbove(), "first second");
  EXPECT_EQ(layer.BoundPort(), 0x1F90);
}

TEST(SocksLayer, ErrorDescriptions) {
  const std::vector<std::pair<int, const char*>> table = {
      {20000, "No Error"},           {20001, "Protocol Error"},
      {20002, "Version Error"},      {20003, "Authentication Method Error"},
      {20004, "General Failure"},    {20005, "Connection Not Allowed"},
      {20006, "Network Unreachable"}, {20007, "Host Unreachable"},
      {20008, "Connection Refused"}, {20009, "TTL Expired"},
      {20010, "Unknown Command"},    {20011, "Unknown Address Type"},
      {20012, "Unassigned Error"},   {20013, "Internal Error"},
      {20014, "Data Receive Error"}, {20015, "Authentication Failed"},
      {20016, "Rejected Or Failed"}, {20017, "Host Resolution Failed"},
  };
  for (const auto& [code, text] : table) EXPECT_EQ(SocksErrorDesc(code), std::string("SOCKS - ") + text);
  EXPECT_EQ(SocksErrorDesc(19999), "");
  EXPECT_EQ(SocksErrorDesc(20018), "");
  EXPECT_EQ(SocksErrorDesc(10061), "");
}

}  // namespace
}  // namespace net
