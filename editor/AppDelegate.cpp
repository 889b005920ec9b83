#include "editor/AppDelegate.h"
#include "platform/fs/Paths.h"

#include "common/Log.h"
#include "editor/BackupArchive.h"
#include "editor/DocumentFolders.h"
#include "editor/DocumentPrintController.h"
#include "editor/EditorSession.h"
#include "editor/GlobalData.h"
#include "editor/ViewControllers/DocumentEditController.h"
#include "common/EditorNotificationReceiver.h"
#include "platform/fs/Files.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QTimer>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#include <utility>

namespace {

const QString kDatabaseResource = QStringLiteral(":/ZuvoEditor.sqlite");

// How long a Finish request waits for the last uploads before it is answered all the same.
constexpr std::chrono::seconds kFinishBound{20};
constexpr std::chrono::minutes kFinishingLapse{2};

// The folder, with its parents, as a private folder of this user: it holds patients'
// letters. A wider existing folder is tightened. False (and the error) when that fails.
bool ensureFolder(const QString& path, QString* error) {
  return zuvo::files::makeOwnerOnlyFolder(QDir::cleanPath(path), error);
}

// Copies the carried database to the path, never replacing what is there, and never leaving
// a half-written file behind: written beside it, then moved into place.
bool copyDatabase(const QString& path, QString* error) {
  QFile source(kDatabaseResource);
  if (!source.open(QIODevice::ReadOnly)) {
    *error = QStringLiteral("Cannot read the resource %1").arg(kDatabaseResource);
    return false;
  }
  const QByteArray bytes = source.readAll();
  QTemporaryFile temp(path + QStringLiteral(".XXXXXX"));
  if (!temp.open() || temp.write(bytes) != bytes.size() || !temp.flush()) {
    *error = QStringLiteral("%1 (%2)").arg(temp.errorString(), path);
    return false;
  }
  temp.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
  int err = 0;
  if (!zuvo::files::renameNoReplace(temp.fileName(), path, nullptr, &err)) {
    *error = QStringLiteral("%1 (%2)").arg(zuvo::files::errnoText(err), path);
    return false;
  }
  temp.setAutoRemove(false);
  return true;
}

// An existing database file readable by others is made owner-only; links are left alone.
void protectDatabase(const QString& path) {
  const QByteArray p = QFile::encodeName(path);
  struct stat st {};
  if (::lstat(p.constData(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 0077) == 0) return;
  if (::chmod(p.constData(), st.st_mode & 0700) != 0)
    zuvo::logError(QStringLiteral("Cannot protect the database %1: %2").arg(path, zuvo::files::errnoText(errno)));
}

}  // namespace

QString lastPathComponent(const QString& path) {
  QString trimmed = path;
  while (trimmed.size() > 1 && trimmed.endsWith(QLatin1Char('/'))) trimmed.chop(1);
  if (trimmed == QStringLiteral("/")) return trimmed;
  return trimmed.mid(trimmed.lastIndexOf(QLatin1Char('/')) + 1);
}

AppDelegate::AppDelegate() = default;
AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
  // One editor per session: a second one would download, upload and back up every letter too.
  session_ = std::make_unique<zuvo::editor::EditorSession>(
      [this](std::function<void()> replied) { finish(std::move(replied)); }, kFinishBound);
  QString busError;
  const zuvo::SingleInstance::Claim claim = session_->claim(&busError);
  if (claim == zuvo::SingleInstance::Claim::AlreadyRunning) {
    session_.reset();
    zuvo::setupLog(zuvo::paths::logsFolder(), QStringLiteral("com.roza.zuvoeditor"), QStringLiteral("ZuvoEditor"));
    zuvo::logInfo(QStringLiteral("ZuvoEditor is already running in this session; this copy ends"));
    QCoreApplication::exit(0);
    return;
  }
  // Registered before anything else, so that no notification posted during start-up is lost.
  receiver_ = std::make_unique<zuvo::EditorNotificationReceiver>(
      [this](const QVariantMap& userInfo) { callbackWithNotification(userInfo); });
  zuvo::setupLog(zuvo::paths::logsFolder(), QStringLiteral("com.roza.zuvoeditor"), QStringLiteral("ZuvoEditor"));
  if (claim == zuvo::SingleInstance::Claim::NoBus)
    zuvo::logError(QStringLiteral("Cannot take the editor's name on the session bus: %1").arg(busError));
  checkAndCreateDatabase();
  removeInterruptedBackups();
  // Letters left over by a run that was stopped or killed: kept in the backup before anything
  // can reuse them.
  // Those still open in the word processor are watched again.
  zuvo::folders::recoverLeftOverFolders(GlobalData::sharedGlobalData().getDocumentDownloadPath(),
                                        &DocumentEditController::watchAgain);
}

void AppDelegate::removeInterruptedBackups() {
  // At start only: later, a backup under way may own such a file.
  QStringList errors;
  for (const QString& name :
       zuvo::backup::removeInterruptedArchives(GlobalData::sharedGlobalData().getBackupDocumentPath(), &errors))
    zuvo::logInfo(QStringLiteral("Removed the unfinished backup %1").arg(name));
  for (const QString& error : errors)
    zuvo::logError(QStringLiteral("Cannot remove an unfinished backup: %1").arg(error));
}

void AppDelegate::checkAndCreateDatabase() {
  const GlobalData& data = GlobalData::sharedGlobalData();
  QString error;
  // The shared folder and the editor's own ones above the documents are private too.
  for (const QString& folder : {zuvo::paths::dataFolder(), zuvo::paths::dataFolder() + QStringLiteral("/Data"),
                                QFileInfo(data.getDatabasePath()).path()})
    if (!ensureFolder(folder, &error)) zuvo::logError(QStringLiteral("Error creating Data Directory: %1").arg(error));
  if (!ensureFolder(data.getDocumentDownloadPath(), &error)) {
    zuvo::logError(QStringLiteral("Error creating Download Directory: %1").arg(error));
    return;
  }
  if (!ensureFolder(data.getBackupDocumentPath(), &error)) {
    zuvo::logError(QStringLiteral("Error creating Backup Directory: %1").arg(error));
    return;
  }
  if (!ensureFolder(data.getTempDirectoryPath(), &error)) {
    zuvo::logError(QStringLiteral("Error creating Temp Directory: %1").arg(error));
    return;
  }
  const QString database = data.getDatabasePath();
  if (!QFileInfo::exists(database) && !copyDatabase(database, &error))
    zuvo::logError(QStringLiteral("Error while creating database : %1").arg(error));
  protectDatabase(database);
}

void AppDelegate::finish(std::function<void()> done) {
  zuvo::logInfo(QStringLiteral("Asked to finish: the plug-in is being removed"));
  finishing_ = true;
  // An uninstallation that never stops the editor (it was itself ended) does not leave it
  // refusing every letter for good.
  QTimer::singleShot(kFinishingLapse, QCoreApplication::instance(), [this] {
    if (std::exchange(finishing_, false)) zuvo::logInfo(QStringLiteral("Not stopped after finishing; taking requests again"));
  });
  DocumentEditController::finishAll([done = std::move(done)] {
    zuvo::logInfo(QStringLiteral("Finished: every letter's last save has been sent or tried"));
    done();
  });
}

void AppDelegate::callbackWithNotification(const QVariantMap& userInfo) {
  if (finishing_) {
    zuvo::logInfo(QStringLiteral("A request came while the plug-in is being removed; not taken"));
    return;
  }
  checkAndCreateDatabase();
  const QString action = zuvo::notificationText(userInfo, QStringLiteral("action")).value_or(QString());
  if (action == QStringLiteral("PrintDoc")) {
    printDocuments(userInfo);
  } else if (action == QStringLiteral("DownloadDoc") || action == QStringLiteral("Template")) {
    const std::shared_ptr<DocumentEditController> controller =
        controllerForNotification(action, userInfo);
    const QString name = controller->download_url ? lastPathComponent(*controller->download_url)
                                                  : QStringLiteral("(null)");
    zuvo::logInfo(QStringLiteral("%1 : Downloading document started").arg(name));
    // The controller holds itself from here on; nothing here keeps it.
    controller->start();
  }
}

std::shared_ptr<DocumentEditController> AppDelegate::controllerForNotification(
    const QString& action, const QVariantMap& userInfo) {
  // A value of any type other than text counts as absent.
  std::shared_ptr<DocumentEditController> controller = DocumentEditController::create();
  controller->download_url = zuvo::notificationText(userInfo, QStringLiteral("download_url"));
  controller->placeholder_url = zuvo::notificationText(userInfo, QStringLiteral("placeholder_url"));
  controller->upload_url = zuvo::notificationText(userInfo, QStringLiteral("upload_url"));
  controller->is_new_doc = zuvo::describeNotificationValue(userInfo.value(QStringLiteral("is_new_doc")));
  if (action == QStringLiteral("Template")) {
    controller->is_template_doc = true;
    controller->xml_path = zuvo::notificationText(userInfo, QStringLiteral("xml_path"));
  }
  return controller;
}

void AppDelegate::printDocuments(const QVariantMap& userInfo) {
  const QString temp = GlobalData::sharedGlobalData().getTempDirectoryPath();
  std::error_code ec;
  // remove_all removes symbolic links themselves, never what they point to.
  std::filesystem::remove_all(temp.toStdString(), ec);
  QString error;
  if (!ensureFolder(temp, &error)) {
    zuvo::logError(QStringLiteral("Error creating Temp Directory: %1").arg(error));
    return;
  }
  // The previous controller is released here; its running downloads keep it until its own
  // list is done.
  documentPrintController = DocumentPrintController::create();
  documentPrintController->setUrlArray(userInfo.value(QStringLiteral("file_path")));
  documentPrintController->showDownloadingWindow();
}
