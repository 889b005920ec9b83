// Files of one JSON object per line (the alert log, the fakes' journals).
#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>

namespace zuvo::test {

// Every object of the file, in order; none when the file is missing.
QList<QJsonObject> readJsonLines(const QString& path);

}  // namespace zuvo::test
