// Reads what the scanner sent to the fake document server: the multipart upload of the scan's
// PDF (taken apart byte by byte) and the PDF itself through poppler.
#pragma once

#include "support/FakeDocumentServer.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

namespace zuvo::test {

// The PDF inside an upload body of the scanner's form for this token: CRLF, the delimiter, the
// part "View_<token>", the content, the closing delimiter, the token's bytes. Nothing when the
// body has any other shape (the reason in *why).
std::optional<QByteArray> scanUploadContent(const QByteArray& body, const QString& token, QString* why = nullptr);

// pdfinfo: the number of pages and each page's size in points ("595.28 x 841.89").
struct PdfFacts {
  int pages = 0;
  QStringList sizes;
};
PdfFacts pdfFacts(const QByteArray& pdf);

// `pdfimages -j`: each embedded image's bytes, in page order.
QList<QByteArray> pdfJpegs(const QByteArray& pdf);

// Checks a whole quick-road or browser upload: exactly two POSTs to the path, the first the
// scanner's multipart upload whose PDF holds these page files' bytes in this order, the second
// "Status=Completed&token=<token>". Empty when all holds, else what did not.
QString checkUploadOfPages(const FakeDocumentServer& server, const QByteArray& path, const QString& token,
                           const QStringList& pageFiles);

}  // namespace zuvo::test
