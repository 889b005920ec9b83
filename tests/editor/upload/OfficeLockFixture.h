// A stand-in for a running LibreOffice as its lock files see it: the profile's single-instance
// pipe, listening until the "LibreOffice" dies (the socket file stays, as a killed one's does),
// and the lock file such an instance writes beside a document.
#pragma once

#include <QByteArray>
#include <QString>

namespace zuvo::test {

class OfficeInstance {
 public:
  // A profile URL of its own under the test root; nothing listens yet.
  OfficeInstance();
  ~OfficeInstance();
  OfficeInstance(const OfficeInstance&) = delete;
  OfficeInstance& operator=(const OfficeInstance&) = delete;

  QString profileUrl() const { return profileUrl_; }
  QString pipePath() const;
  // Binds and listens on the pipe (replacing a socket file left behind).
  bool start();
  // Stops listening and leaves the socket file, as a killed process does.
  void kill();
  // The lock content this instance writes, for this host unless told otherwise.
  QByteArray lockContent(const QString& host = {}) const;
  // Writes the lock beside `document`; returns its path (empty on failure).
  QString writeLock(const QString& document, const QString& host = {}) const;

 private:
  QString profileUrl_;
  int fd_ = -1;
};

}  // namespace zuvo::test
