#include "editor/XmlEvents.h"

#include <QXmlStreamReader>

bool parseXml(const QByteArray& data, const XmlEvents& events) {
  QXmlStreamReader reader(data);
  // An entity reference of a DTD declaration is reported, never expanded.
  reader.setEntityExpansionLimit(0);
  bool sawElement = false;
  int depth = 0;
  while (!reader.atEnd()) {
    switch (reader.readNext()) {
      case QXmlStreamReader::StartElement:
        sawElement = true;
        ++depth;
        if (events.didStartElement) events.didStartElement(reader.qualifiedName().toString());
        break;
      case QXmlStreamReader::Characters:
        // Whitespace around the root element is not content.
        if (depth > 0 && events.foundCharacters) events.foundCharacters(reader.text().toString());
        break;
      case QXmlStreamReader::EndElement:
        --depth;
        if (events.didEndElement) events.didEndElement(reader.qualifiedName().toString());
        break;
      case QXmlStreamReader::EntityReference:
        reader.raiseError(QStringLiteral("undeclared entity"));
        break;
      default:
        break;
    }
  }
  if (reader.hasError() || !sawElement) {
    if (events.parseErrorOccurred) events.parseErrorOccurred(reader.errorString());
    return false;
  }
  if (events.didEndDocument) events.didEndDocument();
  return true;
}
