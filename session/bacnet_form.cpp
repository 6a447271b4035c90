#include "session/bacnet_form.h"

namespace zb {

namespace {
constexpr int kViewLineLimit = 1000;
// A view is also emptied past this many characters, and one line keeps at most
// kLogLineLimit of them: a peer's large request must not turn into megabytes of view text.
constexpr size_t kViewByteLimit = 256 * 1024;
}  // namespace

std::string BoundedLogLine(const std::string& text) {
  if (text.size() <= kLogLineLimit) return text;
  std::string cut = text.substr(0, kLogLineLimit);
  // Never leave half of a multi-octet UTF-8 character at the end.
  size_t lead = cut.size();
  while (lead > 0 && cut.size() - lead < 4 &&
         (static_cast<unsigned char>(cut[lead - 1]) & 0xC0) == 0x80)
    --lead;
  if (lead > 0) {
    const auto c = static_cast<unsigned char>(cut[lead - 1]);
    const size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    if (c >= 0xC0 && lead - 1 + length > cut.size()) cut.resize(lead - 1);
  }
  cut += "... (" + std::to_string(text.size()) + " characters)";
  return cut;
}

TBACnetForm::TBACnetForm(platform::Desktop& desktop, platform::Form* parent,
                         const platform::ModemLineEmulations* emulations)
    : platform::Form(desktop, "BACnetForm", "TBACnetForm", parent),
      TSiteSession(desktop.loop(), emulations) {
  Caption = "BACnet Connection";
  Queue.OnPanel = [this](const std::string& text) { MessagePnl.Caption = text; };
  Button1.OnClick = [this] { WhoIsClick(); };
  Button2.OnClick = [this] { WhoIsRouterClick(); };
  OnCloseQuery = [this](bool& can_close) { can_close = !Connected && !Busy(); };
  Show();
}

// The views go before the session does; what it still says while it is torn down is not shown.
TBACnetForm::~TBACnetForm() { Queue.OnPanel = nullptr; }

void TBACnetForm::CopyInfo(const TConnectionInfo& info) {
  TSiteSession::CopyInfo(info);
  Hint = Info.Description;
}

void TBACnetForm::LogLine(void*, const std::string& text, int channel) {
  if (LogChk.Checked) {
    if (channel == 0)
      TraceMemo.Add(BoundedLogLine(text));
    else if (channel >= 1 && channel <= 3)
      LogMemo.Add(BoundedLogLine(text));
  }
  for (platform::TextView* view : {&TraceMemo, &LogMemo})
    if (view->Count() > kViewLineLimit || view->Bytes() > kViewByteLimit) view->Clear();
}

}  // namespace zb
