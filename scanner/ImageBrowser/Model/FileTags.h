// Tags of a file: the freedesktop attribute user.xdg.tags, a comma-separated UTF-8 list.
// A file system without user attributes, or a file without the attribute, has no tags.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

namespace zuvo {

inline constexpr char kTagsAttribute[] = "user.xdg.tags";

// Names trimmed, empty ones dropped, each name once (first place kept).
QStringList parseTagNames(const QByteArray& attribute);

// The attribute's bytes; none when the file has none or they cannot be read.
std::optional<QByteArray> readTagAttribute(const QString& path);
// Sets the attribute; false with errorText when the file system refuses it.
bool writeTagAttribute(const QString& path, const QByteArray& value, QString* errorText = nullptr);

// The parsed names; empty for a file without tags.
QStringList readTagNames(const QString& path);

}  // namespace zuvo
