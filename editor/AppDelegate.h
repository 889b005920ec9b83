// The editor's start-up and its dispatch of the notifications the bridge posts.
#pragma once

#include <QString>
#include <QVariantMap>
#include <functional>
#include <memory>

class DocumentEditController;
class DocumentPrintController;
namespace zuvo {
class EditorNotificationReceiver;
namespace editor {
class EditorSession;
}
}

class AppDelegate {
 public:
  AppDelegate();
  ~AppDelegate();

  // Registers for notifications, sets up logging and makes the folders and the database.
  // When another editor runs in this session already, logs so and ends the program instead.
  void applicationDidFinishLaunching();
  // Makes the missing folders and the database file; each failure is logged and ends it.
  void checkAndCreateDatabase();
  // Removes the temporary files of backups that were interrupted (the editor was killed).
  void removeInterruptedBackups();
  // The dispatch of one notification, on the main thread.
  void callbackWithNotification(const QVariantMap& userInfo);

  // The controller a "DownloadDoc" or "Template" notification asks for (not started).
  static std::shared_ptr<DocumentEditController> controllerForNotification(
      const QString& action, const QVariantMap& userInfo);

  // The window controller of the latest print request; the next request replaces it.
  std::shared_ptr<DocumentPrintController> documentPrintController;

 private:
  void printDocuments(const QVariantMap& userInfo);

  // The plug-in is being removed: pending saves are sent, later requests are not taken.
  void finish(std::function<void()> done);

  std::unique_ptr<zuvo::editor::EditorSession> session_;
  std::unique_ptr<zuvo::EditorNotificationReceiver> receiver_;
  bool finishing_ = false;
};

// The last "/"-separated component, trailing slashes ignored ("a/b.docx/" gives "b.docx").
QString lastPathComponent(const QString& path);
