// The programs' HTTP client: a thin layer over QNetworkAccessManager that behaves like the
// session managers the rest of the code was designed around.
//
//   auto m = zuvo::http::SessionManager::manager();          // one per request
//   m->setResponseSerializer(zuvo::http::Serializer::Json);
//   m->setAcceptableContentTypes({"application/json"});
//   m->setValue("Bearer " + token, "Authorization");
//   m->GET(url, {}, [](const zuvo::http::Result& r) { use(r.json); },
//          [](const zuvo::http::Result& r) { zuvo::logError(r.error.description); });
//
//   // A hand-built body (multipart upload, status message), plain serializer:
//   zuvo::http::SessionManager::manager()->dataTask("POST", url, body, contentType,
//       [](qint64 sent, qint64 total) {}, [](const zuvo::http::Result& r) { r.ok(); });
//
//   // A download: the destination callback sees the response and picks the file.
//   zuvo::http::SessionManager::manager()->downloadTask(url,
//       [](const zuvo::http::Response& resp) { return dir + "/" + resp.suggestedFilename(); },
//       [](const zuvo::http::Result& r) { r.filePath; });
//
//   zuvo::http::Result r = zuvo::http::syncGet(url);          // blocks the calling thread
//
// Rules that hold for every request:
// - Every callback runs on the main thread, whatever thread started the request. A manager may
//   be made and used on any thread; it can be dropped at once, the requests keep what they need.
// - Each request has a time-out (60 s unless set): a request during which nothing is received
//   or sent for that long fails with "The request timed out.". The time-out test hook changes
//   the default (tests only).
// - Only http and https URLs are sent; any other URL fails at once with "unsupported URL".
// - GET and HEAD follow redirects (at most 16), to http and https URLs only; "Authorization"
//   is not carried to another origin. Every other method (POST: uploads, status reports, the
//   token request) never follows one: a 3xx answer fails the request with BadStatus and the
//   text "Request failed: redirected (302) to <target>", the target shown without user info,
//   query or fragment. Nothing is sent to the redirect's target.
// - A POST/PUT with a body and no content type of its own goes out with
//   "application/x-www-form-urlencoded", which the document server's status reports are read
//   as (Qt would add it anyway); hand-built bodies that must carry another type pass it
//   explicitly.
// - With the Plain serializer a status from 200 to 299 is success. With the Json serializer
//   the reply's media type (without parameters such as "; charset=utf-8", compared without
//   regard to case) must also be in the acceptable set, and a non-empty body must be JSON.
// - cancelTasks() ends the manager's requests still running, and those it starts later, with
//   the failure "cancelled" (Code::Network), through their completions as for any failure.
// - A test hook (platform/core/TestHooks.h) names extra PEM CA certificates to trust besides the
//   system's (Qt does not read SSL_CERT_FILE).
#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QList>
#include <QPair>
#include <QSet>
#include <QString>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace zuvo::http {

using Fields = QList<QPair<QString, QString>>;

// What came back from the server (the last one, after redirects).
struct Response {
  QUrl url;                 // the URL that answered
  int statusCode = 0;       // 0 when no HTTP response arrived
  QByteArray contentType;   // the raw "Content-Type" value
  QList<QPair<QByteArray, QByteArray>> headers;

  // "Content-Type" without parameters, lower-case ("application/json").
  QByteArray mimeType() const;
  // The first header of that name (case-insensitive), or empty.
  QByteArray header(const QByteArray& name) const;
  // Content-Disposition filename* (RFC 5987), else filename, else the URL's last path
  // component (percent-decoded), else "Unknown". Always one plain file name: no "/", never
  // "." or "..".
  QString suggestedFilename() const;
};

struct Error {
  enum class Code {
    None,
    UnsupportedUrl,
    TimedOut,
    Network,                  // connection, TLS or protocol failure
    BadStatus,                // status outside 200 to 299
    UnacceptableContentType,  // Json serializer: media type not in the set
    BadJson,                  // Json serializer: body is not JSON
    File,                     // download: the received body could not be stored
    TooManyRedirects,
  };
  Code code = Code::None;
  QString description;  // a text a user can read; never holds request bodies or headers
};

struct Result {
  Response response;
  Error error;
  QByteArray body;   // data tasks, GET/POST and syncGet (empty for downloads)
  QJsonValue json;   // Json serializer: the parsed body (Undefined when the body is empty)
  QString filePath;  // download tasks: the destination the callback chose (empty if none)
  bool placed = false;  // download tasks: the body was stored at filePath

  bool ok() const { return error.code == Error::Code::None; }
};

enum class Serializer { Plain, Json };

using Completion = std::function<void(const Result&)>;
using Progress = std::function<void(qint64 done, qint64 total)>;
// Called once the whole body has arrived (on the main thread); returns the file path for it.
using Destination = std::function<QString(const Response&)>;

// The 60-second default (or the time-out test hook).
std::chrono::milliseconds defaultTimeout();

struct Cancellation;

class SessionManager {
 public:
  // A new manager (the plain serializer, no headers, the default time-out).
  static std::shared_ptr<SessionManager> manager();

  // Request serializer: a header sent with every request of this manager.
  void setValue(const QString& value, const QString& headerField);
  void setTimeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }

  // Response serializer. Json starts with {"application/json", "text/json", "text/javascript"}.
  void setResponseSerializer(Serializer s);
  void setAcceptableContentTypes(const QSet<QByteArray>& mediaTypes);

  // GET with the fields appended as a percent-encoded query.
  void GET(const QUrl& url, const Fields& parameters, Completion success, Completion failure);
  // POST of the fields as an "application/x-www-form-urlencoded" body; every key and value is
  // percent-encoded ("+" too, so it never reads as a blank).
  void POST(const QUrl& url, const Fields& parameters, Completion success, Completion failure);
  // Any method with a body built by the caller. contentType nullopt = none of its own (see
  // above). uploadProgress may be empty.
  void dataTask(const QByteArray& method, const QUrl& url, const QByteArray& body,
                const std::optional<QByteArray>& contentType, Progress uploadProgress,
                Completion completion);
  // GET whose body goes into the file the destination callback chooses. The body is placed
  // whenever an HTTP response arrived (also with an error status, which still fails the
  // request); an existing file is never replaced (then placed stays false and, as with a
  // destination that cannot be written, the request still reports the status's outcome).
  void downloadTask(const QUrl& url, Destination destination, Completion completion);

  // Main thread only (where the requests run).
  void cancelTasks();

  // Percent-encoded "k=v&k=v" as the form POST sends it.
  static QByteArray formEncode(const Fields& fields);

  struct Config {
    QList<QPair<QByteArray, QByteArray>> headers;
    Serializer serializer = Serializer::Plain;
    QSet<QByteArray> acceptable;
    std::chrono::milliseconds timeout{0};
    std::shared_ptr<Cancellation> cancellation;  // shared by the manager's requests
  };

 private:
  SessionManager();
  Config config() const;

  QList<QPair<QByteArray, QByteArray>> headers_;
  Serializer serializer_ = Serializer::Plain;
  QSet<QByteArray> acceptable_;
  std::chrono::milliseconds timeout_;
  std::shared_ptr<Cancellation> cancellation_;
};

// A GET that waits for its end on the calling thread (a local event loop, so it works on the
// main thread and on worker threads alike), bounded by the time-out as a whole. Like the
// platform's synchronous loading, the status is not judged: ok() unless the transfer failed;
// the body and response.statusCode are there for any status. A body longer than maxBody
// bytes (when not negative) fails the request as soon as that much has arrived.
Result syncGet(const QUrl& url, std::chrono::milliseconds timeout = defaultTimeout(), qint64 maxBody = -1);

}  // namespace zuvo::http
