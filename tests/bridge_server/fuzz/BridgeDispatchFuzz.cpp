// libFuzzer target: request targets and bodies through the bridge's dispatcher.
// Input: first byte picks the method, then the target up to the first newline, then the body.
#include "bridge_server/ViewControllers/BridgeDispatcher.h"

#include <QJsonDocument>

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static const char* const methods[] = {"GET", "POST", "HEAD", "OPTIONS"};
  const char* method = methods[data[0] % 4];
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::size_t nl = rest.find('\n');
  const std::string_view target = rest.substr(0, nl);
  const std::string_view body = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
  const zuvo::bridge::BridgeReply reply =
      zuvo::bridge::dispatchBridgeRequest(method, target, QByteArray(body.data(), qsizetype(body.size())));
  if (reply.status != 200 && reply.status != 404) std::abort();
  if (reply.status == 200 && !QJsonDocument::fromJson(reply.body).isObject()) std::abort();
  for (const auto& a : reply.actions) {
    using Kind = zuvo::bridge::BridgeAction::Kind;
    if (a.kind == Kind::Refused && a.errorLine.isEmpty()) std::abort();
    if ((a.kind == Kind::LaunchScanner || a.kind == Kind::LaunchRecorder) && a.arguments.isEmpty()) std::abort();
    for (const auto& [key, value] : a.userInfo) (void)zuvo::editorNotificationValue(value);
  }
  return 0;
}
