#include "platform/net/HttpClient.h"

#include "platform/core/TestHooks.h"

#include "platform/fs/Paths.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTemporaryFile>
#include <QThread>
#include <QTimer>
#include <QUrlQuery>

#include <mutex>
#include <utility>

namespace zuvo::http {

// The requests of one manager, on the main thread.
struct Cancellation {
  bool cancelled = false;
  QList<QPointer<QObject>> tasks;
};

namespace {

constexpr int kMaxRedirects = 16;

QString statusReason(int code) {
  switch (code) {
    case 400: return QStringLiteral("bad request");
    case 401: return QStringLiteral("unauthorized");
    case 402: return QStringLiteral("payment required");
    case 403: return QStringLiteral("forbidden");
    case 404: return QStringLiteral("not found");
    case 405: return QStringLiteral("method not allowed");
    case 406: return QStringLiteral("unacceptable");
    case 408: return QStringLiteral("request timed out");
    case 409: return QStringLiteral("conflict");
    case 410: return QStringLiteral("no longer exists");
    case 413: return QStringLiteral("request too large");
    case 415: return QStringLiteral("unsupported media type");
    case 429: return QStringLiteral("too many requests");
    case 500: return QStringLiteral("internal server error");
    case 501: return QStringLiteral("unimplemented");
    case 502: return QStringLiteral("bad gateway");
    case 503: return QStringLiteral("service unavailable");
    case 504: return QStringLiteral("gateway timed out");
    default: break;
  }
  if (code < 200) return QStringLiteral("informational");
  if (code < 300) return QStringLiteral("success");
  if (code < 400) return QStringLiteral("redirected");
  if (code < 500) return QStringLiteral("client error");
  return QStringLiteral("server error");
}

Error makeError(Error::Code code, const QString& description) { return Error{code, description}; }

Error timedOut() { return makeError(Error::Code::TimedOut, QStringLiteral("The request timed out.")); }

Error cancelled() { return makeError(Error::Code::Network, QStringLiteral("cancelled")); }

Error networkError(QNetworkReply* reply) {
  QString text;
  switch (reply->error()) {
    case QNetworkReply::ConnectionRefusedError:
      text = QStringLiteral("Could not connect to the server.");
      break;
    case QNetworkReply::HostNotFoundError:
      text = QStringLiteral("A server with the specified hostname could not be found.");
      break;
    case QNetworkReply::RemoteHostClosedError:
      text = QStringLiteral("The network connection was lost.");
      break;
    case QNetworkReply::SslHandshakeFailedError:
      text = QStringLiteral(
          "An SSL error has occurred and a secure connection to the server cannot be made.");
      break;
    default:
      text = reply->errorString();
      break;
  }
  return makeError(Error::Code::Network, text);
}

bool schemeAllowed(const QUrl& url) {
  const QString s = url.scheme().toLower();
  return url.isValid() && (s == QLatin1String("http") || s == QLatin1String("https")) &&
         !url.host().isEmpty();
}

bool sameOrigin(const QUrl& a, const QUrl& b) {
  return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0 &&
         a.host().compare(b.host(), Qt::CaseInsensitive) == 0 &&
         a.port(a.scheme() == QLatin1String("https") ? 443 : 80) ==
             b.port(b.scheme() == QLatin1String("https") ? 443 : 80);
}

// A redirect's target as an error text may show it: resolved, in its encoded (ASCII) form,
// without user info, query or fragment, which may carry credentials, and bounded in length.
QString shownLocation(const QUrl& base, const QByteArray& location) {
  const QUrl target = base.resolved(QUrl::fromEncoded(location.trimmed()));
  if (!schemeAllowed(target)) return QStringLiteral("a location that is not an http or https URL");
  constexpr qsizetype kMax = 160;
  QString text = QString::fromLatin1(
      target.toEncoded(QUrl::RemoveUserInfo | QUrl::RemoveQuery | QUrl::RemoveFragment));
  if (text.size() > kMax) text = text.left(kMax) + QStringLiteral("...");
  return text;
}

// The system's trust store plus the test CA of the test hook.
QSslConfiguration sslConfiguration() {
  static std::once_flag once;
  static QSslConfiguration config;
  std::call_once(once, [] {
    config = QSslConfiguration::defaultConfiguration();
    const QString extra = testhooks::extraCaFile();
    if (!extra.isEmpty()) config.addCaCertificates(QSslCertificate::fromPath(extra));
  });
  return config;
}

// Error text for a body that is not JSON, as the callers log and show it.
QString badJsonText() {
  return QStringLiteral("The data couldn\u2019t be read because it isn\u2019t in the correct format.");
}

void runOnMainThread(std::function<void()> fn) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) return;
  QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
}

enum class Kind { Data, Download, Sync };

// One request (and its redirects), living on the thread that runs it.
class Task : public QObject {
 public:
  Task(SessionManager::Config config, Kind kind, QByteArray method, QUrl url, QByteArray body,
       std::optional<QByteArray> contentType)
      : config_(std::move(config)),
        kind_(kind),
        method_(std::move(method)),
        url_(std::move(url)),
        body_(std::move(body)),
        contentType_(std::move(contentType)) {
    idle_.setSingleShot(true);
    connect(&idle_, &QTimer::timeout, this, [this] {
      timedOut_ = true;
      if (reply_) reply_->abort();
    });
  }

  Progress uploadProgress;
  Destination destination;
  std::function<void(Result)> done;

  void start() {
    if (const auto& c = config_.cancellation) {
      if (c->cancelled) {
        finish(cancelled());
        return;
      }
      c->tasks.removeAll(nullptr);
      c->tasks.append(this);
    }
    if (!schemeAllowed(url_)) {
      finish(makeError(Error::Code::UnsupportedUrl, QStringLiteral("unsupported URL")));
      return;
    }
    if (kind_ == Kind::Download) {
      QString dir = paths::temporaryDirectory();
      if (dir.isEmpty()) dir = QDir::tempPath();
      file_ = std::make_unique<QTemporaryFile>(dir + QStringLiteral("/download-XXXXXX"));
      if (!file_->open()) {
        finish(makeError(Error::Code::File, QStringLiteral("The file couldn\u2019t be saved.")));
        return;
      }
    }
    send();
  }

  // The largest body the synchronous GET reads; a longer one fails the request unread.
  qint64 maxBody = -1;

  // The whole-request bound of the synchronous GET.
  void abortAsTimedOut() {
    timedOut_ = true;
    if (reply_) reply_->abort();
  }

  void cancel() {
    cancelled_ = true;
    if (reply_) reply_->abort();
  }

 private:
  void send() {
    QNetworkRequest request(url_);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    if (url_.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0)
      request.setSslConfiguration(sslConfiguration());
    for (const auto& [name, value] : config_.headers) request.setRawHeader(name, value);
    const bool hasBody = !body_.isEmpty() || method_ == "POST" || method_ == "PUT";
    if (contentType_) {
      request.setHeader(QNetworkRequest::ContentTypeHeader, *contentType_);
    } else if (hasBody && request.rawHeader("Content-Type").isEmpty()) {
      // Qt adds this for a body without a type and warns; say it ourselves.
      request.setHeader(QNetworkRequest::ContentTypeHeader,
                        QByteArrayLiteral("application/x-www-form-urlencoded"));
    }

    if (method_ == "GET" && body_.isEmpty())
      reply_ = nam_.get(request);
    else if (method_ == "HEAD")
      reply_ = nam_.head(request);
    else
      reply_ = nam_.sendCustomRequest(request, method_, body_);

    auto touch = [this] { idle_.start(config_.timeout); };
    connect(reply_, &QNetworkReply::metaDataChanged, this, touch);
    connect(reply_, &QNetworkReply::uploadProgress, this, [this, touch](qint64 sent, qint64 total) {
      touch();
      // Qt ends with a (0, 0) report once the upload is over; it means nothing.
      if (uploadProgress && total > 0 && !redirecting()) uploadProgress(sent, total);
    });
    connect(reply_, &QNetworkReply::readyRead, this, [this, touch] {
      touch();
      if (!file_ && maxBody >= 0 && reply_->bytesAvailable() > maxBody) {
        tooLarge_ = true;
        reply_->abort();
        return;
      }
      if (file_ && !redirecting()) {
        if (file_->write(reply_->readAll()) < 0) writeFailed_ = true;
      }
    });
    connect(reply_, &QNetworkReply::finished, this, [this] { onFinished(); });
    touch();
  }

  // Only a request without a body goes on to a new URL. An upload answered with a redirect
  // failed: sent on as a GET it would take a login page's 200 for success, and repeated
  // elsewhere it would hand the document and its token to another server.
  bool followsRedirects() const { return method_ == "GET" || method_ == "HEAD"; }

  bool redirecting() const {
    const int s = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return (s == 301 || s == 302 || s == 303 || s == 307 || s == 308) &&
           reply_->hasRawHeader("Location");
  }

  Response responseOf(QNetworkReply* reply) const {
    Response r;
    r.url = reply->url();
    r.statusCode = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    r.contentType = reply->rawHeader("Content-Type");
    r.headers = reply->rawHeaderPairs();
    return r;
  }

  void onFinished() {
    idle_.stop();
    QNetworkReply* reply = reply_;
    reply->deleteLater();
    const Response response = responseOf(reply);
    const QNetworkReply::NetworkError qerr = reply->error();
    // Errors from 1 to 199 are the transport's; above that an HTTP answer arrived.
    if (tooLarge_) {
      reply_ = nullptr;
      finish(makeError(Error::Code::Network,
                       QStringLiteral("The reply is larger than %1 bytes.").arg(maxBody)));
      return;
    }
    const bool transportFailed = timedOut_ || (qerr != QNetworkReply::NoError && qerr < 200) ||
                                 response.statusCode == 0;
    if (transportFailed) {
      Result r;
      r.response = response;
      r.error = cancelled_ ? cancelled() : timedOut_ ? timedOut() : networkError(reply);
      reply_ = nullptr;
      deliver(std::move(r));
      return;
    }

    if (redirecting() && followsRedirects()) {
      const QUrl next = url_.resolved(QUrl::fromEncoded(reply->rawHeader("Location")));
      reply_ = nullptr;
      if (++redirects_ > kMaxRedirects) {
        finish(makeError(Error::Code::TooManyRedirects, QStringLiteral("too many HTTP redirects")));
        return;
      }
      if (!schemeAllowed(next)) {
        finish(makeError(Error::Code::UnsupportedUrl, QStringLiteral("unsupported URL")));
        return;
      }
      if (!sameOrigin(url_, next)) {
        config_.headers.removeIf(
            [](const auto& h) { return h.first.compare("Authorization", Qt::CaseInsensitive) == 0; });
      }
      url_ = next;
      if (file_) {
        file_->resize(0);
        file_->seek(0);
      }
      send();
      return;
    }

    Result r;
    r.response = response;
    if (file_) {
      file_->write(reply->readAll());
      file_->close();
      r.filePath = destination ? destination(response) : QString();
      if (!r.filePath.isEmpty() && !writeFailed_) r.placed = QFile::rename(file_->fileName(), r.filePath);
      file_.reset();  // removes the work file when it was not placed
    } else {
      r.body = reply->readAll();
    }
    reply_ = nullptr;
    r.error = judge(r);
    deliver(std::move(r));
  }

  // The response serializer.
  Error judge(Result& r) const {
    if (kind_ == Kind::Sync) return {};
    const int s = r.response.statusCode;
    if (s < 200 || s > 299) {
      QString text = QStringLiteral("Request failed: %1 (%2)").arg(statusReason(s), QString::number(s));
      const QByteArray location = r.response.header("Location");
      if (s >= 300 && s < 400 && !location.isEmpty())
        text += QStringLiteral(" to ") + shownLocation(r.response.url, location);
      return makeError(Error::Code::BadStatus, text);
    }
    if (config_.serializer != Serializer::Json || kind_ == Kind::Download) return {};
    if (!r.body.isEmpty() && !config_.acceptable.contains(r.response.mimeType())) {
      return makeError(Error::Code::UnacceptableContentType,
                       QStringLiteral("Request failed: unacceptable content-type: %1")
                           .arg(QString::fromLatin1(r.response.mimeType())));
    }
    if (r.body.trimmed().isEmpty()) return {};
    QJsonParseError perr;
    const QJsonDocument doc = QJsonDocument::fromJson(r.body, &perr);
    if (perr.error != QJsonParseError::NoError)
      return makeError(Error::Code::BadJson, badJsonText());
    r.json = doc.isObject() ? QJsonValue(doc.object()) : QJsonValue(doc.array());
    return {};
  }

  void finish(Error error) {
    Result r;
    r.error = std::move(error);
    deliver(std::move(r));
  }

  void deliver(Result r) {
    file_.reset();
    auto cb = std::move(done);
    done = nullptr;
    if (kind_ != Kind::Sync) deleteLater();  // syncGet owns its task
    if (cb) cb(std::move(r));
  }

  SessionManager::Config config_;
  Kind kind_;
  QByteArray method_;
  QUrl url_;
  QByteArray body_;
  std::optional<QByteArray> contentType_;
  QNetworkAccessManager nam_{this};
  QPointer<QNetworkReply> reply_;
  QTimer idle_{this};
  std::unique_ptr<QTemporaryFile> file_;
  bool timedOut_ = false;
  bool cancelled_ = false;
  bool tooLarge_ = false;
  bool writeFailed_ = false;
  int redirects_ = 0;
};

void launch(SessionManager::Config config, Kind kind, QByteArray method, QUrl url, QByteArray body,
            std::optional<QByteArray> contentType, Progress progress, Destination destination,
            std::function<void(Result)> done) {
  runOnMainThread([=]() mutable {
    auto* task = new Task(std::move(config), kind, std::move(method), std::move(url),
                          std::move(body), std::move(contentType));
    task->uploadProgress = std::move(progress);
    task->destination = std::move(destination);
    task->done = std::move(done);
    task->start();
  });
}

std::function<void(Result)> split(Completion success, Completion failure) {
  return [success = std::move(success), failure = std::move(failure)](const Result& r) {
    if (r.ok()) {
      if (success) success(r);
    } else if (failure) {
      failure(r);
    }
  };
}

}  // namespace

QByteArray Response::mimeType() const {
  return contentType.split(';').first().trimmed().toLower();
}

QByteArray Response::header(const QByteArray& name) const {
  for (const auto& [k, v] : headers)
    if (k.compare(name, Qt::CaseInsensitive) == 0) return v;
  return {};
}

namespace {

// Value of a Content-Disposition parameter (quoted or token), or nullopt.
std::optional<QByteArray> dispositionParam(const QByteArray& header, const QByteArray& name) {
  int i = 0;
  const int n = header.size();
  while (i < n) {
    // Skip to the next ';'-separated parameter, honouring quotes.
    bool quoted = false;
    while (i < n && (quoted || header[i] != ';')) {
      if (header[i] == '"') quoted = !quoted;
      if (quoted && header[i] == '\\') ++i;
      ++i;
    }
    if (i >= n) break;
    ++i;
    while (i < n && (header[i] == ' ' || header[i] == '\t')) ++i;
    int eq = i;
    while (eq < n && header[eq] != '=' && header[eq] != ';') ++eq;
    if (eq >= n || header[eq] != '=') continue;
    const QByteArray key = header.mid(i, eq - i).trimmed().toLower();
    int v = eq + 1;
    while (v < n && (header[v] == ' ' || header[v] == '\t')) ++v;
    QByteArray value;
    if (v < n && header[v] == '"') {
      ++v;
      while (v < n && header[v] != '"') {
        if (header[v] == '\\' && v + 1 < n) ++v;
        value += header[v++];
      }
      ++v;
    } else {
      int e = v;
      while (e < n && header[e] != ';') ++e;
      value = header.mid(v, e - v).trimmed();
      v = e;
    }
    i = v;
    if (key == name) return value;
  }
  return std::nullopt;
}

QString plainFileName(QString name) {
  name = name.mid(name.lastIndexOf('/') + 1);
  name = name.mid(name.lastIndexOf('\\') + 1);
  name.remove(QChar(0));
  if (name.trimmed().isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
    return {};
  return name;
}

}  // namespace

QString Response::suggestedFilename() const {
  const QByteArray cd = header("Content-Disposition");
  if (!cd.isEmpty()) {
    if (auto ext = dispositionParam(cd, "filename*")) {
      // charset'language'percent-encoded
      const QList<QByteArray> parts = ext->split('\'');
      if (parts.size() == 3) {
        const QByteArray raw = QByteArray::fromPercentEncoding(parts[2]);
        const QString name = parts[0].toLower() == "iso-8859-1" ? QString::fromLatin1(raw)
                                                                 : QString::fromUtf8(raw);
        if (QString p = plainFileName(name); !p.isEmpty()) return p;
      }
    }
    if (auto plain = dispositionParam(cd, "filename")) {
      if (QString p = plainFileName(QString::fromUtf8(*plain)); !p.isEmpty()) return p;
    }
  }
  if (QString p = plainFileName(url.path(QUrl::FullyDecoded)); !p.isEmpty()) return p;
  return QStringLiteral("Unknown");
}

std::chrono::milliseconds defaultTimeout() {
  return testhooks::httpTimeout().value_or(std::chrono::seconds(60));
}

SessionManager::SessionManager() : timeout_(defaultTimeout()), cancellation_(std::make_shared<Cancellation>()) {}

void SessionManager::cancelTasks() {
  cancellation_->cancelled = true;
  const QList<QPointer<QObject>> tasks = std::exchange(cancellation_->tasks, {});
  for (const QPointer<QObject>& t : tasks)
    if (t) static_cast<Task*>(t.data())->cancel();
}

std::shared_ptr<SessionManager> SessionManager::manager() {
  return std::shared_ptr<SessionManager>(new SessionManager());
}

void SessionManager::setValue(const QString& value, const QString& headerField) {
  const QByteArray name = headerField.toUtf8();
  headers_.removeIf([&](const auto& h) { return h.first.compare(name, Qt::CaseInsensitive) == 0; });
  if (!value.isNull()) headers_.append({name, value.toUtf8()});
}

void SessionManager::setResponseSerializer(Serializer s) {
  serializer_ = s;
  if (s == Serializer::Json)
    acceptable_ = {"application/json", "text/json", "text/javascript"};
  else
    acceptable_.clear();
}

void SessionManager::setAcceptableContentTypes(const QSet<QByteArray>& mediaTypes) {
  acceptable_.clear();
  for (const QByteArray& t : mediaTypes) acceptable_.insert(t.trimmed().toLower());
}

SessionManager::Config SessionManager::config() const {
  return Config{headers_, serializer_, acceptable_, timeout_, cancellation_};
}

QByteArray SessionManager::formEncode(const Fields& fields) {
  QByteArray out;
  for (const auto& [k, v] : fields) {
    if (!out.isEmpty()) out += '&';
    out += QUrl::toPercentEncoding(k) + '=' + QUrl::toPercentEncoding(v);
  }
  return out;
}

void SessionManager::GET(const QUrl& url, const Fields& parameters, Completion success,
                         Completion failure) {
  QUrl target = url;
  if (!parameters.isEmpty()) {
    QByteArray query = target.query(QUrl::FullyEncoded).toLatin1();
    if (!query.isEmpty()) query += '&';
    query += formEncode(parameters);
    target.setQuery(QString::fromLatin1(query), QUrl::StrictMode);
  }
  launch(config(), Kind::Data, "GET", target, {}, std::nullopt, {}, {},
         split(std::move(success), std::move(failure)));
}

void SessionManager::POST(const QUrl& url, const Fields& parameters, Completion success,
                          Completion failure) {
  launch(config(), Kind::Data, "POST", url, formEncode(parameters),
         QByteArrayLiteral("application/x-www-form-urlencoded"), {}, {},
         split(std::move(success), std::move(failure)));
}

void SessionManager::dataTask(const QByteArray& method, const QUrl& url, const QByteArray& body,
                              const std::optional<QByteArray>& contentType,
                              Progress uploadProgress, Completion completion) {
  launch(config(), Kind::Data, method.toUpper(), url, body, contentType, std::move(uploadProgress),
         {}, std::move(completion));
}

void SessionManager::downloadTask(const QUrl& url, Destination destination, Completion completion) {
  launch(config(), Kind::Download, "GET", url, {}, std::nullopt, {}, std::move(destination),
         std::move(completion));
}

Result syncGet(const QUrl& url, std::chrono::milliseconds timeout, qint64 maxBody) {
  SessionManager::Config config;
  config.timeout = timeout;
  Result result;
  bool finished = false;
  QEventLoop loop;
  QTimer whole;
  auto task = std::make_unique<Task>(config, Kind::Sync, "GET", url, QByteArray(), std::nullopt);
  task->maxBody = maxBody;
  task->done = [&](Result r) {
    result = std::move(r);
    finished = true;
    loop.quit();
  };
  whole.setSingleShot(true);
  QObject::connect(&whole, &QTimer::timeout, task.get(), [t = task.get()] { t->abortAsTimedOut(); });
  whole.start(timeout);
  task->start();
  if (!finished) loop.exec(QEventLoop::ExcludeUserInputEvents);
  return result;
}

}  // namespace zuvo::http
