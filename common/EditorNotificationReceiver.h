// Receives the editor's notification from the session bus: the signal
// /com/roza/zuvoeditor com.roza.zuvoeditor.zuvoeditor (s object, a{sv} user information).
// Only signals whose object is "com.roza.zuvoeditor" reach the callback, on the thread the
// receiver lives in (the main thread).
#pragma once

#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantMap>
#include <functional>
#include <optional>

namespace zuvo {

class EditorNotificationReceiver : public QObject {
  Q_OBJECT
 public:
  using Callback = std::function<void(const QVariantMap& userInfo)>;

  explicit EditorNotificationReceiver(Callback callback, QObject* parent = nullptr);
  // False when the session bus could not be reached.
  bool isRegistered() const { return registered_; }

 private slots:
  void onSignal(const QString& object, const QVariantMap& userInfo);

 private:
  Callback callback_;
  bool registered_ = false;
};

// A user-information value as text, the way the editor's log lines and scripts write values:
// integral numbers in decimal, booleans "1"/"0", texts unchanged, an absent value "(null)".
QString describeNotificationValue(const QVariant& value);

// The value as text when it is a text; none for any other type or when absent.
std::optional<QString> notificationText(const QVariantMap& userInfo, const QString& key);

}  // namespace zuvo
