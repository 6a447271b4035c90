// The PTP connection machine: establishes the connection as calling side (trigger out,
// ConnectRequest in) or answering side (trigger in, ConnectRequest out) and ends it.
#include "bacnet/link/ptp_machines.h"

namespace zb::bacnet {

void TPTPMachines::EnterConnected() {
  ConnectionState = csConnected;
  // The inactivity count is otherwise reset only by frames the reception machine handles, so a
  // link idle for a minute before would drop a fresh connection at its first tick. A new
  // connection starts with a full minute.
  InactivityTimer = 0;
}

void TPTPMachines::RunConnectionMachine() {
  switch (ConnectionState) {
    case csDisconnected:
      if (OutboundRequested) {
        actions_.Trace("ConnectOutbound(CD)");
        actions_.WriteTrigger();
        RetryCount = 0;
        ResponseTimer = 0;
        OutboundRequested = false;
        ConnectionState = csOutbound;
      } else if (InboundTriggered) {
        actions_.Trace("ConnectInbound(CD)");
        actions_.SendFrame(ptpConnectRequest, "");
        RetryCount = 0;
        ResponseTimer = 0;
        InboundTriggered = false;
        ConnectionState = csInbound;
      } else {
        actions_.Trace("Lost");
      }
      break;

    case csOutbound:
      if (ValidFrameIs(ptpConnectRequest)) {
        actions_.Trace("ConnectRequestReceived(CO)");
        ReceivedValidFrame = false;
        actions_.SendFrame(ptpConnectResponse, actions_.ConnectPassword());
        EnterConnected();
      } else if (ResponseTimer >= kResponseLimit && RetryCount < kMaxRetries) {
        actions_.Trace("ConnectRequestTimeout(CO)");
        ++RetryCount;
        actions_.WriteTrigger();
        ResponseTimer = 0;
      } else if (ResponseTimer >= kResponseLimit) {
        actions_.Trace("ConnectRequestFailure(CO)");
        InboundTriggered = false;
        ConnectionState = csDisconnected;
      }
      break;

    case csInbound:
      if (ValidFrameIs(ptpConnectResponse)) {
        actions_.Trace("ValidConnectResponseReceived(CI)");
        ReceivedValidFrame = false;
        InboundTriggered = false;
        EnterConnected();
      } else if (ResponseTimer >= kResponseLimit && RetryCount < kMaxRetries) {
        actions_.Trace("ConnectResponseTimeout(CI)");
        ++RetryCount;
        actions_.SendFrame(ptpConnectRequest, actions_.ConnectPassword());
        InboundTriggered = false;
        ResponseTimer = 0;
      } else if (ResponseTimer >= kResponseLimit) {
        actions_.Trace("ConnectResponseFailure(CI)");
        InboundTriggered = false;
        ConnectionState = csDisconnected;
      } else if (ValidFrameIs(ptpDisconnectRequest)) {
        actions_.Trace("DisconnectRequestReceived(CI)");
        ReceivedValidFrame = false;
        actions_.SendFrame(ptpDisconnectResponse, "");
        InboundTriggered = false;
        ConnectionState = csDisconnected;
      }
      break;

    case csConnected:
      if (DisconnectRequested) {
        actions_.Trace("NetworkDisconnect(CC)");
        actions_.SendFrame(ptpDisconnectRequest, "");
        ResponseTimer = 0;
        RetryCount = 0;
        DisconnectRequested = false;
        ConnectionState = csDisconnecting;
      } else if (ValidFrameIs(ptpDisconnectRequest)) {
        actions_.Trace("DisconnectRequestReceived(CC)");
        ReceivedValidFrame = false;
        actions_.SendFrame(ptpDisconnectResponse, "");
        InboundTriggered = false;
        ConnectionState = csDisconnected;
      } else if (ValidFrameIs(ptpConnectRequest)) {
        actions_.Trace("ConnectRequestReceived(CC)");
        ReceivedValidFrame = false;
        actions_.SendFrame(ptpConnectResponse, "");
      } else if (InactivityTimer > kInactivityLimit && !ReceivedValidFrame) {
        actions_.Trace("InactivityTimeout(CC)");
        InboundTriggered = false;
        ConnectionState = csDisconnected;
      }
      break;

    case csDisconnecting:
      if (ValidFrameIs(ptpDisconnectResponse)) {
        actions_.Trace("DisconnectResponseReceived(CG)");
        ReceivedValidFrame = false;
        InboundTriggered = false;
        ConnectionState = csDisconnected;
      } else if (ValidFrameIs(ptpDisconnectRequest)) {
        actions_.Trace("DisconnectRequestReceived(CG)");
        ReceivedValidFrame = false;
        actions_.SendFrame(ptpDisconnectResponse, "");
        InboundTriggered = false;
        ConnectionState = csDisconnected;
      } else if (ReceivedValidFrame) {
        actions_.Trace("UnwantedFrameReceived(CG)");
        ReceivedValidFrame = false;
      } else if (ResponseTimer >= kResponseLimit) {
        actions_.Trace("DisconnectResponseFailure(CG)");
        InboundTriggered = false;
        ConnectionState = csDisconnected;
      }
      break;
  }
}

}  // namespace zb::bacnet
