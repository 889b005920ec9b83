// The bridge's request dispatcher: a pure function of (method, request target, body) to the
// reply and the actions to carry out, in query order. MyHTTPConnection carries them out.
#pragma once

#include "platform/EditorNotification.h"

#include <QByteArray>
#include <QJsonValue>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace zuvo::bridge {

struct BridgeAction {
  enum class Kind { LaunchScanner, LaunchRecorder, PostNotification };
  Kind kind = Kind::LaunchScanner;
  QString infoLine;   // logged (information) before the action
  QString errorLine;  // when set, the action is not carried out and this is logged as an error
  QStringList arguments;            // launches: the arguments after the program path
  NotificationUserInfo userInfo;    // notifications: the user information, in order
};

struct BridgeReply {
  int status = 404;   // 200 for the presence check, else 404
  QByteArray body;    // the presence object for 200, else empty
  std::vector<BridgeAction> actions;
};

// The body is read for POST only; a request needing a body that has none, or whose body is
// not a JSON object, is skipped.
BridgeReply dispatchBridgeRequest(std::string_view method, std::string_view target, const QByteArray& body);

// Strict percent decoding: nullopt for an invalid escape or for bytes that are not UTF-8.
// A plus sign stays a plus sign.
std::optional<QString> percentDecode(std::string_view text);

// The text of a value: a text unchanged, a number in decimal, true/false "1"/"0", null
// "<null>", an absent value (Undefined) "(null)".
QString describe(const QJsonValue& value);

// JSON true, a non-zero number, or a text that after white space, a sign and zeros begins
// with Y, y, T, t or 1 to 9.
bool readsTrue(const QJsonValue& value);

// The presence object, pretty-printed.
QByteArray presenceReply();

// What carrying out the actions needs: starting a program by name, posting the
// notification, showing an alert (modal; returns when it is dismissed).
struct BridgeServices {
  std::function<bool(const QString& programName, const QStringList& arguments, QString* error)> launch;
  std::function<void(const NotificationUserInfo& userInfo)> notify;
  std::function<void(const QString& message)> alert;
};

// The real services: programs from the DataFolder, the session bus, the alert function.
BridgeServices systemBridgeServices();

// Logs and carries out the actions in order; a failed start shows an alert with the error
// text and waits for it before going on.
void performBridgeActions(const std::vector<BridgeAction>& actions, const BridgeServices& services);

}  // namespace zuvo::bridge
