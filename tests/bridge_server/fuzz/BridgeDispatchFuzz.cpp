// libFuzzer target: raw bytes as one connection's decrypted input, through the HTTP server's
// parser and limits, the bridge's connection class and dispatcher, the marshalling of every
// EditorNotification it posts, and its refusal lines. Programs are not started: a launch
// fails, which takes the alert path too.
#include "bridge_server/ViewControllers/MyHTTPConnection.h"
#include "common/EditorNotification.h"
#include "platform/net/HTTPServer.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

const zuvo::bridge::BridgeServices& fuzzServices() {
  static const zuvo::bridge::BridgeServices services = [] {
    zuvo::bridge::BridgeServices s;
    s.launch = [](const QString&, const QStringList& arguments, QString* error) {
      if (arguments.isEmpty()) std::abort();
      if (error) *error = QStringLiteral("not started");
      return false;
    };
    s.notify = [](const zuvo::NotificationUserInfo& userInfo) {
      if (userInfo.isEmpty()) std::abort();
      (void)zuvo::marshalEditorNotification(userInfo);
    };
    s.alert = [](const QString&) {};
    // A refusal is one line of the log, whatever the request held.
    s.refused = [](const QString& line) {
      if (line.isEmpty() || line.contains(QLatin1Char('\n')) || line.contains(QLatin1Char('\r'))) std::abort();
    };
    return s;
  }();
  return services;
}

bool knownStatus(std::string_view reply) {
  for (const char* status : {"100", "200", "400", "403", "404", "405", "413", "421", "431"})
    if (reply.substr(9, 3) == status) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MyHTTPConnection connection(fuzzServices());
  const std::string reply =
      zuvo::http::serveDecryptedBytes(connection, std::string_view(reinterpret_cast<const char*>(data), size));
  // Whatever came in, what goes out is an HTTP reply with one of the server's statuses.
  if (!reply.empty() && (reply.size() < 12 || reply.compare(0, 7, "HTTP/1.") != 0 || !knownStatus(reply)))
    std::abort();
  return 0;
}
