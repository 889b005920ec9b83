#include "support/ScanUploadCheck.h"

#include "support/TestSupport.h"

#include <QDir>
#include <QRegularExpression>

namespace zuvo::test {
namespace {

const QByteArray kBoundary = "---------------------------14737809831466499882746641449";

QString writeTemp(const QByteArray& bytes) {
  const QString path = makeTempDir(QStringLiteral("pdf")) + QStringLiteral("/upload.pdf");
  writeFile(path, bytes);
  return path;
}

}  // namespace

std::optional<QByteArray> scanUploadContent(const QByteArray& body, const QString& token, QString* why) {
  const QByteArray head = "\r\n--" + kBoundary + "\r\n" + "Content-Disposition: form-data; name=\"file\"; filename=\"View_" +
                          token.toUtf8() + "\"\r\n" + "Content-Type: application/octet-stream\r\n\r\n";
  const QByteArray tail = "\r\n--" + kBoundary + "--\r\n" + token.toUtf8();
  const auto fail = [&](const char* text) -> std::optional<QByteArray> {
    if (why) *why = QString::fromLatin1(text);
    return std::nullopt;
  };
  if (!body.startsWith(head)) return fail("the body does not begin with the part header");
  if (!body.endsWith(tail)) return fail("the body does not end with the closing delimiter and the token");
  if (body.size() < head.size() + tail.size()) return fail("the body is too short");
  return body.mid(head.size(), body.size() - head.size() - tail.size());
}

PdfFacts pdfFacts(const QByteArray& pdf) {
  PdfFacts facts;
  QByteArray out;
  if (runProgram(QStringLiteral("pdfinfo"), {QStringLiteral("-f"), QStringLiteral("1"), QStringLiteral("-l"),
                                            QStringLiteral("100000"), writeTemp(pdf)},
                 &out) != 0)
    return facts;
  static const QRegularExpression pages(R"(Pages:\s+(\d+))");
  facts.pages = pages.match(QString::fromUtf8(out)).captured(1).toInt();
  static const QRegularExpression size(R"(Page\s+\d+ size:\s+([\d.]+ x [\d.]+) pts)");
  for (auto it = size.globalMatch(QString::fromUtf8(out)); it.hasNext();) facts.sizes << it.next().captured(1);
  return facts;
}

QList<QByteArray> pdfJpegs(const QByteArray& pdf) {
  const QString folder = makeTempDir(QStringLiteral("images"));
  QList<QByteArray> images;
  if (runProgram(QStringLiteral("pdfimages"), {QStringLiteral("-j"), writeTemp(pdf), folder + QStringLiteral("/img")}) != 0)
    return images;
  for (const QString& name : QDir(folder).entryList(QDir::Files, QDir::Name)) images << readFile(folder + "/" + name);
  return images;
}

QString checkUploadOfPages(const FakeDocumentServer& server, const QByteArray& path, const QString& token,
                           const QStringList& pageFiles) {
  const QList<JournaledRequest> posts = server.requestsTo(path);
  if (posts.size() != 2) return QStringLiteral("%1 requests instead of 2").arg(posts.size());
  for (const JournaledRequest& r : posts)
    if (r.method != "POST") return QStringLiteral("a %1 request").arg(QString::fromLatin1(r.method));
  if (posts[0].header("Content-Type") != "multipart/form-data; boundary=" + kBoundary)
    return QStringLiteral("upload content type %1").arg(QString::fromLatin1(posts[0].header("Content-Type")));
  QString why;
  const std::optional<QByteArray> pdf = scanUploadContent(posts[0].body, token, &why);
  if (!pdf) return why;
  if (pdfFacts(*pdf).pages != pageFiles.size())
    return QStringLiteral("%1 pages instead of %2").arg(pdfFacts(*pdf).pages).arg(pageFiles.size());
  const QList<QByteArray> images = pdfJpegs(*pdf);
  if (images.size() != pageFiles.size()) return QStringLiteral("%1 images in the PDF").arg(images.size());
  for (qsizetype i = 0; i < pageFiles.size(); ++i)
    if (images[i] != readFile(pageFiles[i])) return QStringLiteral("page %1 is not the bytes of %2").arg(i + 1).arg(pageFiles[i]);
  const QByteArray status = "Status=Completed&token=" + token.toUtf8();
  if (posts[1].body != status) return QStringLiteral("status body %1").arg(QString::fromUtf8(posts[1].body));
  return {};
}

}  // namespace zuvo::test
