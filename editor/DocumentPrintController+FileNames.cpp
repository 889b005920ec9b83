// The names print downloads are stored under in Data/tmp.
#include "editor/DocumentPrintController.h"

#include <algorithm>

namespace {

// A name that can only ever mean one file inside the folder it is joined to.
bool isPlainFileName(const QString& name) {
  if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) return false;
  for (const QChar c : name)
    if (c.category() == QChar::Other_Control) return false;
  return true;
}

QString lastComponent(const QString& text) {
  const qsizetype cut = std::max(text.lastIndexOf(QLatin1Char('/')), text.lastIndexOf(QLatin1Char('\\')));
  return text.mid(cut + 1);
}

}  // namespace

QString DocumentPrintController::storedFileName(const QString& suggested, const QUrl& url) {
  const QString fromServer = lastComponent(suggested);
  if (isPlainFileName(fromServer)) return fromServer;
  const QString fromUrl = lastComponent(url.path(QUrl::FullyDecoded));
  if (isPlainFileName(fromUrl)) return fromUrl;
  return QStringLiteral("document");
}

QString DocumentPrintController::uniqueFileName(const QString& name,
                                                const std::function<bool(const QString&)>& taken) {
  if (!taken(name)) return name;
  // The extension starts at the last "." that is not the name's first character.
  const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
  const QString stem = dot > 0 ? name.left(dot) : name;
  const QString ext = dot > 0 ? name.mid(dot) : QString();
  for (int i = 1;; ++i) {
    const QString candidate = QStringLiteral("%1-%2%3").arg(stem, QString::number(i), ext);
    if (!taken(candidate)) return candidate;
  }
}
