// The driver object the host creates, one per site: the version handshake, the site's
// connection parameters, and the command/status handshake on its session.
#pragma once

#include <functional>
#include <string>

#include "platform/host_connection.h"
#include "platform/variant.h"
#include "session/bacnet_form.h"
#include "session/connection_info.h"

namespace zb {

class TMainForm;

inline constexpr const char* kDriverProgId = "ZelBACnetServer.ZelBACnetServerDriver";
inline constexpr const char* kDriverClassId = "{6B1D3C52-8F4A-4E27-9C1B-2D5E7A90F3C4}";
inline constexpr const char* kDriverLibraryId = "{A3E9F1D0-54B2-4C8E-B7A6-0F2C9D13E845}";
inline constexpr const char* kDriverInterfaceId = "{D47C2B8E-1A96-4F3D-8E05-B6C2A7F9E013}";
inline constexpr const char* kDriverDescription = "ZelBACnetServerDriver Object";

class TZelBACnetServerDriver : public platform::HostObject, public TSessionClient {
 public:
  explicit TZelBACnetServerDriver(TMainForm& mainForm);
  ~TZelBACnetServerDriver() override;

  bool VersionAccepted = false;
  TBACnetForm* Session = nullptr;  // owned by the driver window
  TConnectionInfo ConnectionInfo;
  // PointNames: TSessionClient

  // The five operations of the driver interface. None lets an exception out.
  // `ended` runs when the session's connect has stored its outcome (after a PTP line set-up);
  // not at all when Connect returns false.
  bool Connect(const Variant& params, std::function<void()> ended = nullptr);
  bool Disconnect(const Variant& params);
  bool Configure(const Variant& params);
  Variant Execute(const Variant& params);
  Variant ExecuteImmediate(const Variant& params);

  // platform::HostObject
  bool Invoke(const std::string& method, const Variant& params, Variant& result) override;
  bool InvokeLater(const std::string& method, const Variant& params, Reply reply) override;
  // TSessionClient
  void SessionGone(TSiteSession* session) override;

 private:
  void ReadConnectionInfo(const Variant& params);
  void BindSession(TBACnetForm* session);
  Variant ExecuteChecked(const Variant& params);
  TMainForm& main_form_;
};

}  // namespace zb
