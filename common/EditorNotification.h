// The EditorNotification: a signal on the session bus that the bridge server sends and the
// editor receives.
//
//   path      /com/roza/zuvoeditor
//   interface com.roza.zuvoeditor
//   member    zuvoeditor
//   arguments (s object = "com.roza.zuvoeditor", a{sv} user information)
//
// User information values from JSON: text -> s, integral number -> x, other number -> d,
// true/false -> b, array -> av, object -> a{sv}, null -> s "".
#pragma once

#include <QJsonValue>
#include <QList>
#include <QPair>
#include <QString>
#include <QVariant>

namespace zuvo {

inline constexpr char kEditorNotificationPath[] = "/com/roza/zuvoeditor";
inline constexpr char kEditorNotificationInterface[] = "com.roza.zuvoeditor";
inline constexpr char kEditorNotificationName[] = "zuvoeditor";
inline constexpr char kEditorNotificationObject[] = "com.roza.zuvoeditor";

using NotificationUserInfo = QList<QPair<QString, QJsonValue>>;

// The D-Bus value for one JSON value, as listed above.
QVariant editorNotificationValue(const QJsonValue& value);

// Sends the signal at once; false when the session bus cannot be reached. A connection the
// bus has dropped is made again (and reported) at the next call.
bool postEditorNotification(const NotificationUserInfo& userInfo);

// Marshals the signal's arguments with the bus library as a send would, without a bus;
// false when the library refuses them. For the fuzz target.
bool marshalEditorNotification(const NotificationUserInfo& userInfo);

}  // namespace zuvo
