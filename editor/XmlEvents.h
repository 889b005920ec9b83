// An event parser over bytes, calling back during the parse on the calling thread.
// Entities are never resolved and no DTD is read: nothing is fetched, nothing expanded.
#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

struct XmlEvents {
  std::function<void(const QString& name)> didStartElement;
  std::function<void(const QString& text)> foundCharacters;
  std::function<void(const QString& name)> didEndElement;
  std::function<void()> didEndDocument;
  std::function<void(const QString& error)> parseErrorOccurred;
};

// True when the document was read to its end without a fatal error (then didEndDocument
// has been called). An empty document does not parse.
bool parseXml(const QByteArray& data, const XmlEvents& events);
