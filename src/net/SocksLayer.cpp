#include "SocksLayer.h"

#include "SocketErrors.h"

#include <iterator>
#include <utility>

#include "Trace.h"

namespace net {

namespace {

constexpr const char* kStepNames[] = {"None", "ReadMethodReply", "SendAuth", "ReadAuthReply",
                                      "SendConnect", "ReadConnectReply"};

}  // namespace

std::string SocksErrorDesc(int code) {
  if (!IsSocksErrorCode(code)) return {};
  return ErrorDesc(code);  // the socket's one table of error texts
}

TSocksLayer::TSocksLayer(TSocksSettings settings) : settings_(std::move(settings)) {}

const char* TSocksLayer::StepName(TStep s) {
  static_assert(std::size(kStepNames) == static_cast<std::size_t>(TStep::ReadConnectReply) + 1,
                "one name per step");
  return kStepNames[static_cast<std::size_t>(s)];
}

void TSocksLayer::SetStep(TStep s) {
#ifndef NDEBUG
  if (s != current_) NetTrace("socks", StepName(current_), StepName(s));
#endif
  next_ = s;
}

int TSocksLayer::Fail(int code, std::string text) {
  errorCode_ = code;
  errorText_ = std::move(text);
  status_ = TStatus::Failed;
  socksState_ = socksData;
  next_ = TStep::None;
  rcvd_.clear();
  queuedUp_.clear();
  return kError;
}

int TSocksLayer::Fail(int code) {
  const TNetError* e = FindNetError(TNetErrorKind::Socks, code);
  return Fail(code, e && e->Detail ? e->Detail : "");
}

void TSocksLayer::Finish(int rv) {
  // The one place the caller hears of a failure: after the loop, never from inside it.
  if (rv == kError && OnSocksError) OnSocksError(errorCode_, errorText_);
}

void TSocksLayer::Start() {
  if (status_ != TStatus::Idle) return;
  status_ = TStatus::Negotiating;
  // Refuse what the requests cannot carry before anything goes out.
  if (settings_.TargetHost.size() > kSocksMaxHost) {
    Finish(Fail(socksInternalError, "socks target host name too long (" +
                                        std::to_string(settings_.TargetHost.size()) + " bytes, at most " +
                                        std::to_string(kSocksMaxHost) + ")"));
    return;
  }
  if (settings_.SocksAuthentication == socksAuthenticateUsercode &&
      settings_.SocksUsercode.size() + settings_.SocksPassword.size() > kSocksMaxCredentials) {
    Finish(Fail(socksInternalError, "socks user name and password too long (at most " +
                                        std::to_string(kSocksMaxCredentials) + " bytes together)"));
    return;
  }
  socksState_ = socksNegotiateMethods;
  const char method = settings_.SocksAuthentication == socksAuthenticateUsercode ? 0x02 : 0x00;
  forBelow_.append({0x05, 0x01, method});
  SetStep(TStep::ReadMethodReply);
}

void TSocksLayer::FromBelow(const char* data, std::size_t len) {
  if (len == 0) return;
  switch (status_) {
    case TStatus::Established:
      forAbove_.append(data, len);
      return;
    case TStatus::Negotiating:
      break;
    default:
      return;  // nothing is expected before Start or after a failure
  }
  // Bytes behind the CONNECT reply belong to the layers above; they are split off as soon as
  // the reply's length is known.
  rcvd_.append(data, len);
  RunLoop();
}

void TSocksLayer::FromAbove(const char* data, std::size_t len) {
  if (status_ == TStatus::Established)
    forBelow_.append(data, len);
  else if (status_ == TStatus::Idle || status_ == TStatus::Negotiating)
    queuedUp_.append(data, len);
}

std::string TSocksLayer::TakeForBelow() { return std::exchange(forBelow_, {}); }
std::string TSocksLayer::TakeForAbove() { return std::exchange(forAbove_, {}); }

void TSocksLayer::BelowClosed() {
  if (status_ != TStatus::Negotiating) return;
  if (socksState_ == socksAuthenticate) Notify(socksAuthFailure);
  Finish(Fail(socksGeneralFailure, "connection closed by socks server"));
}

void TSocksLayer::BelowError(int code) {
  if (status_ != TStatus::Negotiating) return;
  Finish(Fail(code, "data receive error"));
}

void TSocksLayer::RunLoop() {
  int rv = kOk;
  do {
    current_ = next_;
    next_ = TStep::None;  // a forgotten transition ends the loop
    switch (current_) {
      case TStep::ReadMethodReply: rv = DoReadMethodReply(); break;
      case TStep::SendAuth: rv = DoSendAuth(); break;
      case TStep::ReadAuthReply: rv = DoReadAuthReply(); break;
      case TStep::SendConnect: rv = DoSendConnect(); break;
      case TStep::ReadConnectReply: rv = DoReadConnectReply(); break;
      case TStep::None: rv = kPending; break;
    }
  } while (rv == kOk && next_ != TStep::None);
  current_ = next_;
  Finish(rv);
}

int TSocksLayer::DoReadMethodReply() {
  if (rcvd_.size() < 2) {
    SetStep(TStep::ReadMethodReply);
    return kPending;
  }
  if (rcvd_[0] != 0x05) return Fail(socksVersionError);
  const unsigned char method = static_cast<unsigned char>(rcvd_[1]);
  rcvd_.clear();  // anything behind the two bytes goes with them
  if (method == 0x00) {
    if (settings_.SocksAuthentication == socksAuthenticateUsercode) Notify(socksAuthNotRequired);
    SetStep(TStep::SendConnect);
    return kOk;
  }
  if (method == 0x02) {
    SetStep(TStep::SendAuth);
    return kOk;
  }
  return Fail(socksAuthMethodError);
}

int TSocksLayer::DoSendAuth() {
  const std::string& user = settings_.SocksUsercode;
  const std::string& pass = settings_.SocksPassword;
  // Reached also when no user was configured but the proxy chose 0x02.
  if (user.size() + pass.size() > kSocksMaxCredentials)
    return Fail(socksInternalError, "socks user name and password too long (at most " +
                                        std::to_string(kSocksMaxCredentials) +
                                        " bytes together)");
  socksState_ = socksAuthenticate;
  Notify(socksAuthStart);
  forBelow_.push_back(0x01);
  forBelow_.push_back(static_cast<char>(user.size()));
  forBelow_.append(user);
  forBelow_.push_back(static_cast<char>(pass.size()));
  forBelow_.append(pass);
  SetStep(TStep::ReadAuthReply);
  return kOk;
}

int TSocksLayer::DoReadAuthReply() {
  if (rcvd_.size() < 2) {
    SetStep(TStep::ReadAuthReply);
    return kPending;
  }
  if (rcvd_[0] != 0x01 || (rcvd_.size() == 2 && rcvd_[1] != 0x00)) {
    Notify(socksAuthFailure);
    return Fail(socksAuthenticationFailed);
  }
  if (rcvd_.size() > 2) return Fail(socksProtocolError, "too much data available");
  rcvd_.clear();
  Notify(socksAuthSuccess);
  SetStep(TStep::SendConnect);
  return kOk;
}

int TSocksLayer::DoSendConnect() {
  const std::string& host = settings_.TargetHost;
  if (host.size() > kSocksMaxHost)  // checked at Start; kept next to the bytes it guards
    return Fail(socksInternalError, "socks target host name too long");
  socksState_ = socksConnect;
  // Always a domain-name address, also for a dotted IPv4 host: the proxy resolves it.
  forBelow_.append({0x05, 0x01, 0x00, 0x03, static_cast<char>(host.size())});
  forBelow_.append(host);
  forBelow_.push_back(static_cast<char>(settings_.TargetPort >> 8));
  forBelow_.push_back(static_cast<char>(settings_.TargetPort & 0xFF));
  SetStep(TStep::ReadConnectReply);
  return kOk;
}

int TSocksLayer::DoReadConnectReply() {
  const auto byte = [this](std::size_t i) { return static_cast<unsigned char>(rcvd_[i]); };
  if (!rcvd_.empty() && byte(0) != 0x05) return Fail(socksVersionError);
  if (rcvd_.size() >= 2 && byte(1) != 0x00) {
    const unsigned reply = byte(1);
    if (reply <= 8) return Fail(socksGeneralFailure + static_cast<int>(reply) - 1);  // 20004-20011
    return Fail(socksUnassignedError, "unassigned error #" + std::to_string(reply));
  }
  if (rcvd_.size() < 5) {
    SetStep(TStep::ReadConnectReply);
    return kPending;
  }
  const unsigned atyp = byte(3);
  std::size_t full = 5;
  if (atyp == 0x01) full = 10;
  else if (atyp == 0x03) full = 7 + byte(4);
  if (full > kSocksMaxReply)
    return Fail(socksProtocolError, "socks reply too long (" + std::to_string(full) +
                                        " bytes, at most " + std::to_string(kSocksMaxReply) + ")");
  if (rcvd_.size() < full) {
    SetStep(TStep::ReadConnectReply);
    return kPending;
  }
  if (atyp == 0x01) {
    boundAddress_ = std::to_string(byte(4)) + "." + std::to_string(byte(5)) + "." +
                    std::to_string(byte(6)) + "." + std::to_string(byte(7));
  } else if (atyp == 0x03) {
    boundAddress_.assign(rcvd_, 5, byte(4));
  } else {
    return Fail(socksUnknownAddressType);
  }
  boundPort_ = static_cast<std::uint16_t>((byte(full - 2) << 8) | byte(full - 1));
  // Bytes behind the reply (the start of the server hello, say) go up first.
  forAbove_.append(rcvd_, full, std::string::npos);
  rcvd_.clear();
  socksState_ = socksData;
  status_ = TStatus::Established;
  forBelow_.append(queuedUp_);
  queuedUp_.clear();
  return kOk;
}

}  // namespace net
