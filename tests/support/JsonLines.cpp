#include "support/JsonLines.h"

#include "support/TestSupport.h"

#include <QJsonDocument>

namespace zuvo::test {

QList<QJsonObject> readJsonLines(const QString& path) {
  QList<QJsonObject> out;
  for (const QByteArray& line : readFile(path).split('\n'))
    if (!line.trimmed().isEmpty()) out << QJsonDocument::fromJson(line).object();
  return out;
}

}  // namespace zuvo::test
