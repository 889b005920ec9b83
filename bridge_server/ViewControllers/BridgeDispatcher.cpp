#include "bridge_server/ViewControllers/BridgeDispatcher.h"

#include "Deployment.h"
#include "bridge_server/RefusalLog.h"
#include "common/Log.h"
#include "platform/desktop/Alert.h"
#include "platform/fs/Paths.h"
#include "platform/process/ProgramLauncher.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>

#include <algorithm>
#include <charconv>
#include <cmath>

namespace zuvo::bridge {
namespace {

const QString kScanner = QStringLiteral("ZuvoScanner");
const QString kRecorder = QStringLiteral("ZuvoRecorder");

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isIntegral(double d) {
  return std::isfinite(d) && std::trunc(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0;
}

// Builds a launch argument list that ends before the first absent body value. Values that
// cannot be passed as text (true/false, arrays, objects, null where no empty text is
// defined) make the whole request be skipped.
class ArgumentList {
 public:
  ArgumentList(const QJsonObject& body, const QString& first) : body_(body), args_{first} {}

  // A body value as given: a text, or a number in decimal.
  void value(const QString& key, bool nullIsEmpty = false) {
    if (ended_ || wrongType_) return;
    const QJsonValue v = body_.value(key);
    switch (v.type()) {
      case QJsonValue::Undefined:
        ended_ = true;
        return;
      case QJsonValue::String:
      case QJsonValue::Double:
        args_.append(describe(v));
        return;
      case QJsonValue::Null:
        if (nullIsEmpty) args_.append(QString());
        else wrong(key);
        return;
      default:
        wrong(key);
        return;
    }
  }
  // A value that is never absent: the quick-mode word, the text of a value.
  void word(const QString& text) {
    if (!ended_ && !wrongType_) args_.append(text);
  }
  bool wrongType() const { return wrongType_; }
  const QString& wrongKey() const { return wrongKey_; }
  const QStringList& arguments() const { return args_; }

 private:
  void wrong(const QString& key) {
    wrongType_ = true;
    wrongKey_ = key;
  }

  const QJsonObject& body_;
  QStringList args_;
  QString wrongKey_;
  bool ended_ = false;
  bool wrongType_ = false;
};

// Counts the values under `value` into `count` and says whether the nesting stays within the
// bound; stops as soon as either bound is passed.
bool withinBounds(const QJsonValue& value, int depth, qsizetype& count) {
  if (!value.isArray() && !value.isObject()) return true;
  if (depth > kMaxBodyDepth) return false;
  if (value.isArray()) {
    const QJsonArray a = value.toArray();
    count += a.size();
    if (count > kMaxBodyElements) return false;
    for (const QJsonValue& v : a)
      if (!withinBounds(v, depth + 1, count)) return false;
  } else {
    const QJsonObject o = value.toObject();
    count += o.size();
    if (count > kMaxBodyElements) return false;
    for (auto it = o.begin(); it != o.end(); ++it)
      if (!withinBounds(it.value(), depth + 1, count)) return false;
  }
  return true;
}

struct ParsedBody {
  std::optional<QJsonObject> object;  // nullopt: not a usable body
  bool tooLarge = false;              // a JSON object, but nested too deep or with too many values
};

void refuse(BridgeReply& reply, QString errorLine) {
  BridgeAction refused;
  refused.kind = BridgeAction::Kind::Refused;
  refused.errorLine = std::move(errorLine);
  reply.actions.push_back(std::move(refused));
}

QString shown(std::string_view text) {
  return loggableValue(QString::fromLatin1(text.data(), qsizetype(text.size())));
}

bool isRequestName(const QString& name) {
  static const QString names[] = {QStringLiteral("ScanSettings"), QStringLiteral("ScanDoc"),
                                  QStringLiteral("Dictator"),     QStringLiteral("DownloadDictation"),
                                  QStringLiteral("DownloadDoc"),  QStringLiteral("PrintDoc")};
  return std::find(std::begin(names), std::end(names), name) != std::end(names);
}

ParsedBody parseBody(const QByteArray& body) {
  QJsonParseError error{};
  const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
  if (error.error == QJsonParseError::DeepNesting) return {std::nullopt, true};
  if (error.error != QJsonParseError::NoError || !doc.isObject()) return {};
  // The session bus refuses deeply nested values by dropping the connection, so such bodies
  // never get as far as a notification or an argument list.
  qsizetype count = 0;
  const QJsonObject o = doc.object();
  if (!withinBounds(o, 1, count)) return {std::nullopt, true};
  return {o, false};
}

void addLaunch(BridgeReply& reply, BridgeAction::Kind kind, const ArgumentList& list, const QString& name,
               const QString& infoLine) {
  if (list.wrongType()) {
    refuse(reply, QStringLiteral("Request for %1 skipped: its value %2 is neither a text nor a number")
                      .arg(name, list.wrongKey()));
    return;
  }
  BridgeAction action;
  action.kind = kind;
  action.infoLine = infoLine;
  action.arguments = list.arguments();
  for (const QString& a : action.arguments) {
    if (a.contains(QChar(0))) {
      action.errorLine = QStringLiteral("%1 not started: an argument holds a NUL character")
                             .arg(kind == BridgeAction::Kind::LaunchScanner ? kScanner : kRecorder);
      break;
    }
  }
  reply.actions.push_back(std::move(action));
}

QString tokenLine(const QString& request, const QJsonObject& body) {
  return QStringLiteral("Request received for %1 with token : %2")
      .arg(request, loggableValue(describe(body.value(QStringLiteral("Token")))));
}

void carryOut(BridgeReply& reply, const QString& name, const QByteArray& body) {
  using Kind = BridgeAction::Kind;
  if (name == QLatin1String("ScanSettings")) {
    addLaunch(reply, Kind::LaunchScanner, ArgumentList(QJsonObject(), name), name,
              QStringLiteral("Request received for ScanSettings"));
    return;
  }
  if (!isRequestName(name)) {
    refuse(reply, QStringLiteral("Request skipped: unknown application \"%1\"").arg(loggableValue(name)));
    return;
  }
  const ParsedBody parsed = parseBody(body);
  if (parsed.tooLarge) {
    refuse(reply, QStringLiteral("Request for %1 skipped: its body nests deeper than %2 levels or holds more than %3 values")
                      .arg(name).arg(kMaxBodyDepth).arg(kMaxBodyElements));
    return;
  }
  if (!parsed.object) {
    refuse(reply, body.isEmpty()
                      ? QStringLiteral("Request for %1 skipped: it has no body (a JSON object sent by POST)").arg(name)
                      : QStringLiteral("Request for %1 skipped: its body (%2 bytes) is not a JSON object")
                            .arg(name)
                            .arg(body.size()));
    return;
  }
  const QJsonObject& o = *parsed.object;
  const auto key = [](const char* k) { return QString::fromLatin1(k); };

  if (name == QLatin1String("ScanDoc")) {
    ArgumentList list(o, name);
    list.value(key("Token"));
    list.value(key("UploadURL"));
    list.word(readsTrue(o.value(key("QuickPrint"))) ? key("true") : key("false"));
    const QJsonValue patientId = o.value(key("PatientId"));
    list.word(patientId.isNull() ? QString() : describe(patientId));
    list.value(key("PatientName"), true);
    list.value(key("PatientDOB"), true);
    addLaunch(reply, Kind::LaunchScanner, list, name, tokenLine(name, o));
  } else if (name == QLatin1String("Dictator")) {
    ArgumentList list(o, name);
    list.value(key("Token"));
    list.value(key("UploadURL"));
    list.word(describe(o.value(key("PatientId"))));
    list.value(key("PatientName"), true);
    list.value(key("PatientDOB"), true);
    addLaunch(reply, Kind::LaunchRecorder, list, name, tokenLine(name, o));
  } else if (name == QLatin1String("DownloadDictation")) {
    ArgumentList list(o, name);
    list.value(key("Token"));
    list.value(key("UploadURL"));
    list.value(key("DownloadURL"));
    list.value(key("Durations"));
    list.word(describe(o.value(key("PatientId"))));
    list.value(key("PatientName"), true);
    list.value(key("PatientDOB"), true);
    addLaunch(reply, Kind::LaunchRecorder, list, name, tokenLine(name, o));
  } else if (name == QLatin1String("DownloadDoc")) {
    const QString action = readsTrue(o.value(key("is_template"))) ? key("Template") : key("DownloadDoc");
    BridgeAction a;
    a.kind = Kind::PostNotification;
    a.infoLine = QStringLiteral("Request received for %1").arg(action);
    a.userInfo.append({key("action"), action});
    static const std::pair<const char*, const char*> pairs[] = {{"upload_url", "BaseURL"},
                                                                {"download_url", "agrs"},
                                                                {"placeholder_url", "PlaceHolderPath"},
                                                                {"is_new_doc", "is_new"},
                                                                {"xml_path", "XMLPath"}};
    for (const auto& [infoKey, bodyKey] : pairs) {
      const QJsonValue v = o.value(key(bodyKey));
      if (v.isUndefined()) break;
      a.userInfo.append({key(infoKey), v});
    }
    reply.actions.push_back(std::move(a));
  } else if (name == QLatin1String("PrintDoc")) {
    BridgeAction a;
    a.kind = Kind::PostNotification;
    a.infoLine = QStringLiteral("Request received for PrintDoc");
    a.userInfo.append({key("action"), key("PrintDoc")});
    const QJsonValue files = o.value(key("file_path"));
    if (!files.isUndefined()) a.userInfo.append({key("file_path"), files});
    reply.actions.push_back(std::move(a));
  }
}

}  // namespace

std::optional<QString> percentDecode(std::string_view text) {
  QByteArray bytes;
  bytes.reserve(qsizetype(text.size()));
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      bytes.append(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int hi = hexValue(text[i + 1]);
    const int lo = hexValue(text[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes.append(char(hi * 16 + lo));
    i += 2;
  }
  QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString decoded = decoder(bytes);
  if (decoder.hasError()) return std::nullopt;
  return decoded;
}

QString describe(const QJsonValue& value) {
  switch (value.type()) {
    case QJsonValue::Undefined:
      return QStringLiteral("(null)");
    case QJsonValue::Null:
      return QStringLiteral("<null>");
    case QJsonValue::Bool:
      return value.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    case QJsonValue::Double: {
      const double d = value.toDouble();
      if (isIntegral(d)) return QString::number(qint64(d));
      if (std::trunc(d) == d) return QString::number(d, 'f', 0);
      return QString::number(d, 'g', QLocale::FloatingPointShortest);
    }
    case QJsonValue::String:
      return value.toString();
    case QJsonValue::Array:
      return QString::fromUtf8(QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact));
    case QJsonValue::Object:
      return QString::fromUtf8(QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact));
  }
  return {};
}

bool readsTrue(const QJsonValue& value) {
  switch (value.type()) {
    case QJsonValue::Bool:
      return value.toBool();
    case QJsonValue::Double:
      return value.toDouble() != 0;
    case QJsonValue::String: {
      const QString s = value.toString();
      qsizetype i = 0;
      while (i < s.size() && (s[i] == QLatin1Char('\t') || s[i].category() == QChar::Separator_Space)) ++i;
      if (i < s.size() && (s[i] == QLatin1Char('+') || s[i] == QLatin1Char('-'))) ++i;
      while (i < s.size() && s[i] == QLatin1Char('0')) ++i;
      if (i >= s.size()) return false;
      const QChar c = s[i];
      return c == QLatin1Char('Y') || c == QLatin1Char('y') || c == QLatin1Char('T') || c == QLatin1Char('t') ||
             (c >= QLatin1Char('1') && c <= QLatin1Char('9'));
    }
    default:
      return false;
  }
}

QByteArray presenceReply() {
  // The same for every request: made once, shared by every reply.
  static const QByteArray reply = QJsonDocument(QJsonObject{{QStringLiteral("response_type"), QStringLiteral("CheckScan")},
                                                            {QStringLiteral("success"), QStringLiteral("true")},
                                                            {QStringLiteral("message"), QString()}})
                                      .toJson(QJsonDocument::Indented);
  return reply;
}

namespace {

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// True when text is exactly ascii after percent-decoding, without making a string for the
// common case of no escapes.
bool decodesTo(std::string_view text, std::string_view ascii) {
  if (text.find('%') == std::string_view::npos) return text == ascii;
  const std::optional<QString> decoded = percentDecode(text);
  return decoded && *decoded == QLatin1String(ascii.data(), qsizetype(ascii.size()));
}

}  // namespace

int requestRefusal(const http::RequestHead& head, const QStringList& allowedOrigins) {
  if (!head.host) return 421;
  // Checked on the header's bytes: every accepted name is ASCII, and no other Latin-1
  // letter folds to an ASCII one.
  const std::string_view host = *head.host;
  static constexpr std::string_view names[] = {deployment::kLocalServerHostName, "localhost", "127.0.0.1", "[::1]"};
  char portText[8];
  const auto made = std::to_chars(portText, portText + sizeof portText, unsigned(head.localPort));
  const std::string_view localPort(portText, std::size_t(made.ptr - portText));
  const auto isOurs = [&](std::string_view h) {
    for (const std::string_view name : names) {
      if (equalsIgnoringAsciiCase(h, name)) return true;
      if (h.size() > name.size() && h[name.size()] == ':' && equalsIgnoringAsciiCase(h.substr(0, name.size()), name)) {
        const std::string_view port = h.substr(name.size() + 1);
        if (port == "8443" || port == localPort) return true;
      }
    }
    return false;
  };
  if (!isOurs(host)) return 421;
  if (allowedOrigins.isEmpty() || !head.origin) return 0;
  const QString origin = QString::fromLatin1(head.origin->data(), qsizetype(head.origin->size()));
  for (const QString& allowed : allowedOrigins)
    if (origin.compare(allowed, Qt::CaseInsensitive) == 0) return 0;
  return 403;
}

QString refusalLine(int status, const http::RequestHead& head) {
  QString why;
  switch (status) {
    case 400: why = QStringLiteral("not a well-formed HTTP request"); break;
    case 403: why = QStringLiteral("its Origin is not allowed"); break;
    case 405: why = QStringLiteral("only GET, POST and HEAD are served"); break;
    case 413: why = QStringLiteral("its body is larger than %1 bytes").arg(http::HTTPServer::kMaxBodySize); break;
    case 421: why = QStringLiteral("its Host is not this server"); break;
    case 431: why = QStringLiteral("its header is larger than %1 bytes").arg(http::HTTPServer::kMaxHeaderSize); break;
    default: why = QStringLiteral("refused"); break;
  }
  QString line = QStringLiteral("Request refused (%1, %2)").arg(status).arg(why);
  if (head.method.empty()) return line;  // its header was not read
  const auto value = [](const std::optional<std::string_view>& v) { return v ? shown(*v) : QStringLiteral("(none)"); };
  return line + QStringLiteral(": %1 %2, Host %3, Origin %4")
                    .arg(shown(head.method), shown(head.target), value(head.host), value(head.origin));
}

const QStringList& deploymentAllowedOrigins() {
  static const QStringList origins =
      QString::fromUtf8(deployment::kAllowedOrigins).split(QLatin1Char(' '), Qt::SkipEmptyParts);
  return origins;
}

BridgeReply dispatchBridgeRequest(std::string_view method, std::string_view target, const QByteArray& body) {
  BridgeReply reply;
  const QByteArray requestBody = method == "POST" ? body : QByteArray();
  const auto noName = [&] {
    refuse(reply, QStringLiteral("Request skipped: its target names no application: %1").arg(shown(target)));
    return reply;
  };
  const std::size_t q = target.find('?');
  if (q == std::string_view::npos) return noName();
  std::string_view query = target.substr(q + 1);
  query = query.substr(0, query.find('?'));

  bool named = false;
  std::size_t start = 0;
  for (;;) {
    const std::size_t amp = query.find('&', start);
    const std::string_view piece = query.substr(start, amp == std::string_view::npos ? std::string_view::npos : amp - start);
    const std::size_t firstEq = piece.find('=');
    const std::size_t lastEq = piece.rfind('=');
    if (decodesTo(piece.substr(0, firstEq), "application")) {
      named = true;
      const std::string_view value = lastEq == std::string_view::npos ? piece : piece.substr(lastEq + 1);
      if (decodesTo(value, "CheckScan")) {
        reply.status = 200;
        reply.body = presenceReply();
        return reply;
      }
      if (const std::optional<QString> name = percentDecode(value))
        carryOut(reply, *name, requestBody);
      else
        refuse(reply, QStringLiteral("Request skipped: unknown application \"%1\" (not a valid escape of UTF-8)").arg(shown(value)));
    }
    if (amp == std::string_view::npos) break;
    start = amp + 1;
  }
  return named ? reply : noName();
}

BridgeServices systemBridgeServices() {
  BridgeServices s;
  s.launch = [](const QString& programName, const QStringList& arguments, QString* error) {
    return launchApplication(paths::bundlePath(programName), arguments, error);
  };
  s.notify = [](const NotificationUserInfo& userInfo) { postEditorNotification(userInfo); };
  // Request handling never waits for a person: the alert is queued to the main thread.
  s.alert = [](const QString& message) { showAlertLater(message, QString(), {QStringLiteral("Ok")}); };
  s.refused = [](const QString& line) { bridgeRefusalLog().refused(line); };
  return s;
}

void reportRefusal(const BridgeServices& services, const QString& line) {
  if (services.refused)
    services.refused(line);
  else
    logError(line);
}

void performBridgeActions(const std::vector<BridgeAction>& actions, const BridgeServices& services) {
  for (const BridgeAction& a : actions) {
    if (!a.infoLine.isEmpty()) logInfo(a.infoLine);
    if (!a.errorLine.isEmpty()) {
      reportRefusal(services, a.errorLine);
      continue;
    }
    if (a.kind == BridgeAction::Kind::PostNotification) {
      if (services.notify) services.notify(a.userInfo);
      continue;
    }
    const QString program = a.kind == BridgeAction::Kind::LaunchScanner ? kScanner : kRecorder;
    QString error;
    if (services.launch && !services.launch(program, a.arguments, &error) && services.alert) services.alert(error);
  }
}

}  // namespace zuvo::bridge
