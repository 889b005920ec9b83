// The name of a downloaded document and its token, from the download URL. The URL comes
// from a web page, so a name that could reach outside the document's folder is refused.
#pragma once

#include <QString>
#include <QUrl>

struct DocumentName {
  QString fileName;  // the URL's last path component, percent-escapes undone
  QString token;     // its last "_"-separated part without the extension
  QString error;     // why the URL is refused; empty when fileName and token are usable
  bool ok() const { return error.isEmpty(); }
};

// Last path component -> extension removed (from the last "." on) -> last "_" piece.
DocumentName documentNameForUrl(const QUrl& url);
