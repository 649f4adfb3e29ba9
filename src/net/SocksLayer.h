#pragma once
// SOCKS version 5 negotiation (RFC 1928, user name and password per RFC 1929) as a protocol
// layer of the socket. It runs between the TCP connect to the proxy and the moment the socket
// reports the connection established to the layers above (TLS, then HTTP); afterwards it
// passes bytes through unchanged.
#include <cstdint>
#include <functional>
#include <string>

#include "Filter.h"
#include "NetErrors.h"
#include "SocksAuthentication.h"

namespace net {

enum TSocksState { socksData, socksNegotiateMethods, socksAuthenticate, socksConnect };
enum TSocksAuthState { socksAuthStart, socksAuthSuccess, socksAuthFailure, socksAuthNotRequired };


// "SOCKS - " + the description of a SOCKS code (20000-20017); empty for any other code.
std::string SocksErrorDesc(int code);

// Limits of the messages this layer builds and accepts.
inline constexpr std::size_t kSocksMaxCredentials = 141;  // user name + password bytes
inline constexpr std::size_t kSocksMaxHost = 121;         // target host name bytes
inline constexpr std::size_t kSocksMaxReply = 127;        // CONNECT reply bytes

struct TSocksSettings {
  std::string TargetHost;  // host as written in the URL; the proxy resolves it
  std::uint16_t TargetPort = 0;
  TSocksAuthentication SocksAuthentication = socksNoAuthentication;
  std::string SocksUsercode;
  std::string SocksPassword;
};

class TSocksLayer final : public TFilter {
 public:
  explicit TSocksLayer(TSocksSettings settings);

  // TFilter
  void Start() override;  // TCP connect to the proxy succeeded: send the greeting
  void FromBelow(const char* data, std::size_t len) override;
  void FromAbove(const char* data, std::size_t len) override;
  std::string TakeForBelow() override;
  std::string TakeForAbove() override;
  TStatus Status() const override { return status_; }
  int ErrorCode() const override { return errorCode_; }
  std::string ErrorText() const override { return errorText_; }  // the SOCKS text
  void BelowClosed() override;                   // the proxy closed the connection
  void BelowError(int code) override;            // a read from the proxy failed

  TSocksState SocksState() const { return socksState_; }
  const std::string& BoundAddress() const { return boundAddress_; }
  std::uint16_t BoundPort() const { return boundPort_; }

  // Notifications; the system handles none of them.
  std::function<void(TSocksAuthState)> OnSocksAuthState;
  std::function<void(int code, const std::string& text)> OnSocksError;

 private:
  enum class TStep {
    None,
    ReadMethodReply,   // waits for the 2-byte method choice
    SendAuth,          // builds the RFC 1929 request
    ReadAuthReply,     // waits for the 2-byte authentication status
    SendConnect,       // builds the CONNECT request
    ReadConnectReply,  // waits for the whole CONNECT reply
  };
  enum { kPending = 0, kOk = 1, kError = -1 };

  void RunLoop();
  int DoReadMethodReply();
  int DoSendAuth();
  int DoReadAuthReply();
  int DoSendConnect();
  int DoReadConnectReply();
  static const char* StepName(TStep s);
  void SetStep(TStep s);  // every change of step; traced in debug builds
  int Fail(int code, std::string text);
  int Fail(int code);  // with the code's own notification text
  void Finish(int rv);  // the completion path: notifies a failure
  void Notify(TSocksAuthState s) {
    if (OnSocksAuthState) OnSocksAuthState(s);
  }

  TSocksSettings settings_;
  TStatus status_ = TStatus::Idle;
  TSocksState socksState_ = socksData;
  TStep current_ = TStep::None;  // the step running, or waiting for more bytes
  TStep next_ = TStep::None;
  std::string rcvd_;       // reply bytes accumulated for the current step
  std::string forBelow_;
  std::string forAbove_;   // leftovers after the CONNECT reply, then pass-through data
  std::string queuedUp_;   // application bytes written before the tunnel opened
  int errorCode_ = 0;
  std::string errorText_;
  std::string boundAddress_;
  std::uint16_t boundPort_ = 0;
};

}  // namespace net
