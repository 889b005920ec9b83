// The bridge's request dispatcher: a pure function of (method, request target, body) to the
// reply and the actions to carry out, in query order. MyHTTPConnection carries them out.
#pragma once

#include "common/EditorNotification.h"
#include "platform/net/HTTPServer.h"

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
  // Refused: nothing is carried out, only the error line is logged.
  enum class Kind { LaunchScanner, LaunchRecorder, PostNotification, Refused };
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

// Bodies nested deeper than this (the body object is level 1), or holding more values than
// this in all, are refused like bodies that are not JSON, with an error line.
inline constexpr int kMaxBodyDepth = 8;
inline constexpr qsizetype kMaxBodyElements = 10000;

// The body is read for POST only; a request needing a body that has none, or whose body is
// not a JSON object, is skipped. So is an unknown request name and a target that names none:
// every piece skipped that way is an action of kind Refused with its error line.
BridgeReply dispatchBridgeRequest(std::string_view method, std::string_view target, const QByteArray& body);

// Whether the bridge serves a request at all: 0 when it does; 421 when the Host header is
// absent or names another server than this one (the LocalServerHostName, localhost, 127.0.0.1
// or [::1], in any letter case, bare or with ":8443" or the port the request came in on), so
// that a page reaching the loopback port under a name of its own (DNS rebinding) is turned
// away; 403 when allowedOrigins is not empty and the Origin header names another origin.
int requestRefusal(const http::RequestHead& head, const QStringList& allowedOrigins);

// The error line for a request the HTTP server answered with an error status before it was
// dispatched (see HTTPConnection::requestRefused): the status, why, and what was read of the
// request (method, target, Host, Origin), each made safe for the log.
QString refusalLine(int status, const http::RequestHead& head);

// The deployment's allowed origins (empty = any).
const QStringList& deploymentAllowedOrigins();

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
// notification, showing an alert (returns at once; the alert is shown on the main thread).
struct BridgeServices {
  std::function<bool(const QString& programName, const QStringList& arguments, QString* error)> launch;
  std::function<void(const NotificationUserInfo& userInfo)> notify;
  std::function<void(const QString& message)> alert;
  // An error line about a refused request; the bridge's bounds their number. Unset: logged.
  std::function<void(const QString& line)> refused;
};

// The real services: programs from the DataFolder, the session bus, the alert function, the
// bounded refusal log.
BridgeServices systemBridgeServices();

// Hands an error line about a refused request to services.refused (logged when unset).
void reportRefusal(const BridgeServices& services, const QString& line);

// Logs and carries out the actions in order; a failed start shows an alert with the error
// text. Error lines go to services.refused.
void performBridgeActions(const std::vector<BridgeAction>& actions, const BridgeServices& services);

}  // namespace zuvo::bridge
