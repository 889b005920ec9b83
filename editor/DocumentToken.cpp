#include "editor/DocumentToken.h"

namespace {

bool hasUnsafeCharacter(const QString& s) {
  for (QChar c : s)
    if (c == QLatin1Char('/') || c.unicode() == 0 || c.category() == QChar::Other_Control) return true;
  return false;
}

}  // namespace

DocumentName documentNameForUrl(const QUrl& url) {
  DocumentName n;
  // Split the encoded path, so an escaped "/" stays inside its component (and is refused).
  QString path = url.path(QUrl::FullyEncoded);
  while (path.size() > 1 && path.endsWith(QLatin1Char('/'))) path.chop(1);
  n.fileName = QUrl::fromPercentEncoding(path.mid(path.lastIndexOf(QLatin1Char('/')) + 1).toUtf8());
  const qsizetype dot = n.fileName.lastIndexOf(QLatin1Char('.'));
  const QString stem = dot < 0 ? n.fileName : n.fileName.left(dot);
  n.token = stem.mid(stem.lastIndexOf(QLatin1Char('_')) + 1);

  if (n.fileName.isEmpty() || n.fileName == QLatin1String(".") || n.fileName == QLatin1String(".."))
    n.error = QStringLiteral("the URL names no file");
  else if (hasUnsafeCharacter(n.fileName))
    n.error = QStringLiteral("the file name holds a \"/\" or a control character");
  else if (n.token.isEmpty() || n.token == QLatin1String(".") || n.token == QLatin1String(".."))
    n.error = QStringLiteral("the file name gives no usable token");
  return n;
}
