// The first steps of a document: checks, placeholder list, download; then opening in the word
// processor, placeholder filling, the database row and the start of the folder watcher.
#include "editor/ViewControllers/DocumentEditController.h"

#include "Deployment.h"
#include "common/AAPLFileTreeWatcherThread.h"
#include "common/Log.h"
#include "common/Reachability.h"
#include "editor/DocumentChanges.h"
#include "editor/DocumentDatabase.h"
#include "editor/DocumentFolders.h"
#include "editor/DocumentToken.h"
#include "editor/GlobalData.h"
#include "editor/PlaceHolderWindowController.h"
#include "editor/WordScripts.h"
#include "editor/XmlEvents.h"
#include "platform/desktop/Alert.h"
#include "platform/fs/Files.h"
#include "platform/net/HttpClient.h"
#include "platform/desktop/WordProcessor.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>
#include <QWidget>

#include <cerrno>
#include <filesystem>

namespace {

// Stands for "&" during the parse: not ASCII, so it never occurs in a list that decodes.
constexpr char16_t kAmpersandMarker = u'\uE000';

// Far above any real list (a few hundred short values); a longer one is refused unread, so
// its parse never holds the document's start for long.
constexpr qint64 kMaxPlaceholderList = 4 * 1024 * 1024;

QString downloadError(const QString& reason) {
  return QStringLiteral("Error while downloading document : %1").arg(reason);
}

// Moves the received file into place unless a file of that name is there already, which
// then stays. False when neither happened.
bool placeWithoutReplacing(const QString& from, const QString& to, QString* error) {
  int err = 0;
  if (zuvo::files::renameNoReplace(from, to, nullptr, &err)) return true;
  QFile::remove(from);
  if (err == EEXIST) return true;
  *error = zuvo::files::errnoText(err);
  return false;
}

}  // namespace

void DocumentEditController::downloadWordDocument() {
  if (!wordApplicationInstalled()) {
    zuvo::showAlertLater(QStringLiteral("Microsoft Word application not found"),
                    QStringLiteral("Install Microsoft Word 2016 or later for Editing Letters."),
                    {QStringLiteral("Ok")});
    return;
  }
  upload_onProgress = false;
  if (!zuvo::reachability::isHostReachable(QString::fromUtf8(zuvo::deployment::kReachabilityHost))) {
    zuvo::showAlertLater(QString(), QStringLiteral("The internet connection appears to be offline."),
                    {QStringLiteral("Ok")});
    return;
  }
  zuvo::postUserNotification(QStringLiteral("Downloading..."), QStringLiteral("Downloading document..."));
  if (is_new_doc == QLatin1String("0"))
    getPlaceholderDatawithURL(placeholder_url.value_or(QString()));
  else
    downloadDocumentAtUrl(download_url.value_or(QString()));
}

bool DocumentEditController::wordApplicationInstalled() {
  if (zuvo::wordprocessor::isInstalled()) return true;
  zuvo::logInfo(QStringLiteral("Word application not found"));
  return false;
}

bool DocumentEditController::getPlaceholderDatawithURL(const QString& url) {
  const zuvo::http::Result fetched = zuvo::http::syncGet(QUrl(url), zuvo::http::defaultTimeout(), kMaxPlaceholderList);
  if (!fetched.ok() || !parsePlaceholderList(fetched.body)) {
    zuvo::showAlertLater(QStringLiteral("Error"), QStringLiteral("Placeholder data parsing failed."),
                    {QStringLiteral("Ok")});
    return false;
  }
  return true;
}

bool DocumentEditController::parsePlaceholderList(const QByteArray& body) {
  if (body.size() > kMaxPlaceholderList) return false;
  for (const char c : body)
    if (static_cast<unsigned char>(c) > 127) return false;
  QString text = QString::fromLatin1(body);
  text.replace(QLatin1Char('&'), QChar(kAmpersandMarker));

  placeHolderDic = std::make_shared<PlaceholderDictionary>();
  currentPlaceHolderElement = QString();
  const XmlEvents events{
      [this](const QString& name) { parserDidStartElement(name); },
      [this](const QString& piece) { parserFoundCharacters(piece); },
      [this](const QString& name) { parserDidEndElement(name); },
      [this] { parserDidEndDocument(); },
      [this](const QString& error) { parserParseErrorOccurred(error); },
  };
  return parseXml(text.toUtf8(), events);
}

void DocumentEditController::parserDidStartElement(const QString& elementName) {
  currentPlaceHolderElement = elementName;
  placeHolderDic->insert(elementName, QString());
}

void DocumentEditController::parserFoundCharacters(const QString& piece) {
  QString value = piece;
  value.replace(QChar(kAmpersandMarker), QLatin1Char('&'));
  value.replace(QLatin1String("\n"), QLatin1String("\r\n"));
  value.replace(QLatin1String("&apos;"), QLatin1String("'"));
  // Pieces are not joined: the last one of an element stands.
  placeHolderDic->insert(currentPlaceHolderElement, value);
}

void DocumentEditController::parserDidEndElement(const QString&) {}

void DocumentEditController::parserDidEndDocument() { downloadDocumentAtUrl(download_url.value_or(QString())); }

void DocumentEditController::parserParseErrorOccurred(const QString&) {}

void DocumentEditController::downloadDocumentAtUrl(const QString& urlText) {
  const QUrl url(urlText);
  const DocumentName name = documentNameForUrl(url);
  if (!name.ok()) {
    zuvo::logError(downloadError(name.error));
    return;
  }
  const QString folder = GlobalData::sharedGlobalData().getDocumentDownloadPath() + name.token;
  const QString finalPath = folder + QLatin1Char('/') + name.fileName;
  // The body goes to a name of its own and reaches the document's name only on success, so a
  // failed download never leaves an error page where the document is expected.
  const QString partPath =
      folder + QStringLiteral("/.download-") + QUuid::createUuid().toString(QUuid::WithoutBraces);

  // A folder of this token left over by an earlier run is backed up first: the letter is
  // always the server's copy, never a stale one kept from before.
  auto self = shared_from_this();
  QMetaObject::invokeMethod(
      QCoreApplication::instance(),
      [self, url, name, folder, finalPath, partPath] {
        zuvo::folders::useFolder(name.token, folder, [self, url, name, folder, finalPath, partPath](bool usable) {
          if (!usable) {
            zuvo::folders::releaseFolder(name.token);
            zuvo::logError(downloadError(QStringLiteral("a left-over copy of the letter stays in %1").arg(folder)));
            return;
          }
          self->startDownload(url, name.token, name.fileName, folder, finalPath, partPath);
        });
      },
      Qt::QueuedConnection);
}

void DocumentEditController::startDownload(const QUrl& url, const QString& token, const QString& fileName,
                                           const QString& folder, const QString& finalPath, const QString& partPath) {
  auto folderReady = std::make_shared<bool>(false);
  auto self = shared_from_this();
  zuvo::http::SessionManager::manager()->downloadTask(
      url,
      [folder, partPath, folderReady](const zuvo::http::Response&) -> QString {
        // An earlier copy of this document may be watched: these are the editor's own changes.
        AAPLFileTreeWatcherThread::noteOwnChange(folder);
        // The letter's folder is as private as the documents folder.
        QString why;
        if (!zuvo::files::makeOwnerOnlyFolder(folder, &why)) {
          zuvo::logError(QStringLiteral("Error creating Download Directory: %1").arg(why));
          return QString();
        }
        *folderReady = QFileInfo(folder).isDir();
        return *folderReady ? partPath : QString();
      },
      [self, token, fileName, folder, finalPath, partPath, folderReady](const zuvo::http::Result& result) {
        AAPLFileTreeWatcherThread::noteOwnChange(folder);
        if (!result.ok()) {
          if (result.placed) QFile::remove(partPath);
          zuvo::folders::releaseFolder(token);
          zuvo::logError(downloadError(result.error.description));
          return;
        }
        if (!*folderReady || !result.placed) {
          QFile::remove(partPath);
          zuvo::folders::releaseFolder(token);
          zuvo::logError(downloadError(QStringLiteral("the document could not be stored in %1").arg(folder)));
          return;
        }
        QString error;
        if (!placeWithoutReplacing(partPath, finalPath, &error)) {
          zuvo::folders::releaseFolder(token);
          zuvo::logError(downloadError(error));
          return;
        }
        auto info = std::make_shared<DocInfo>();
        info->is_new_doc = self->is_new_doc;
        info->uploadURL = self->upload_url.value_or(QString());
        info->placeHolderDic = self->placeHolderDic;
        info->is_template_doc = self->is_template_doc;
        info->xml_path = self->xml_path.value_or(QString());
        info->fileName = fileName;
        info->token = token;
        info->destinationFolderPath = folder;
        info->destinationFilePath = finalPath;
        self->downloadDidFinish(info);
      });
}

void DocumentEditController::downloadDidFinish(const std::shared_ptr<DocInfo>& info) {
  zuvo::logInfo(QStringLiteral("%1 : Downloading document completed").arg(info->fileName));
  openWordDocument(info);

  const QFileInfo file(info->destinationFilePath);
  // The copy as downloaded and filled in, to the nanosecond: any later save of the file is
  // the user's, however soon it comes; the editor's own filling is not one.
  const std::optional<std::chrono::nanoseconds> asOpened = zuvo::changes::modificationTime(info->destinationFilePath);
  flowFor(info).opened(asOpened);
  if (asOpened) recordServerCopy(info, *asOpened);
  std::optional<QString> notRecorded;
  if (file.exists()) {
    unrecordedModified_ = formatModifiedDate(file.lastModified());
    if (!recordDocument(info, &notRecorded)) notRecorded = notRecorded.value_or(QString());
  }

  // A later run goes on uploading the letter's saves if this one is stopped while it is open.
  QString why;
  if (!zuvo::folders::keepUploadUrl(info->token, info->uploadURL, &why))
    zuvo::logError(QStringLiteral("%1 : %2").arg(info->fileName, why));
  if (!startWatching(info)) return;
  // Asked for again while open: this opening stops, its copy goes to the backup and the
  // server's copy takes its place.
  zuvo::folders::yieldOnRequest(info->token, [self = shared_from_this()](std::function<void()> stopped) {
    self->flow_->stopWhenIdle(std::move(stopped));
  });
  // Watched whatever the database said; the user hears of a failed record once.
  if (notRecorded)
    zuvo::showAlertLater(QStringLiteral("Error"),
                    QStringLiteral("%1 could not be recorded in the editor's database (%2). It is still "
                                   "watched and backed up when it is closed.")
                        .arg(info->fileName, *notRecorded),
                    {QStringLiteral("Ok")});
}

bool DocumentEditController::startWatching(const std::shared_ptr<DocInfo>& info) {
  // The handler holds the controller and its record until the watcher is stopped.
  auto self = shared_from_this();
  QString why;
  fileTreeWatcherThread = AAPLFileTreeWatcherThread::create(
      info->destinationFolderPath, [self, info] { self->receivedNotification(info); },
      /*ignoreOwnChanges=*/true, &why);
  if (!fileTreeWatcherThread) {
    zuvo::logError(QStringLiteral("%1 : %2").arg(info->fileName, why));
    return false;
  }
  fileTreeWatcherThread->start();
  noteWatched();
  watchLocks(info);
  return true;
}

bool DocumentEditController::watchAgain(const QString& token, const QString& folder) {
  // The document is the folder's file of the token's name; "~$" names are the word
  // processor's lock files, hidden ones its own or a download's.
  QString fileName;
  for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name)) {
    const DocumentName n = documentNameForUrl(QUrl::fromLocalFile(folder + QLatin1Char('/') + name));
    if (!name.startsWith(QLatin1String("~$")) && n.ok() && n.token == token) {
      fileName = name;
      break;
    }
  }
  const QString uploadUrl = zuvo::folders::keptUploadUrl(token);
  QString why;
  const auto rows = zuvo::documentdb::modifiedDates(GlobalData::sharedGlobalData().getDatabasePath(), token, &why);
  const QString path = folder + QLatin1Char('/') + fileName;
  const std::optional<std::chrono::nanoseconds> found = zuvo::changes::modificationTime(path, &why);
  if (fileName.isEmpty() || uploadUrl.isEmpty() || !rows || rows->empty() || !found) {
    zuvo::logInfo(QStringLiteral("%1 : Left over from an earlier run and still open, backed up once it is closed")
                      .arg(token));
    return false;
  }
  auto self = create();
  self->upload_url = uploadUrl;
  self->is_new_doc = QStringLiteral("1");
  auto info = std::make_shared<DocInfo>();
  info->uploadURL = uploadUrl;
  info->is_new_doc = self->is_new_doc;
  info->fileName = fileName;
  info->token = token;
  info->destinationFolderPath = folder;
  info->destinationFilePath = path;
  // A save the server never accepted is in the file when it is newer than every stored date.
  bool unsent = false;
  for (const std::optional<QString>& text : *rows)
    unsent = unsent || zuvo::changes::isModifiedSince(*found, text ? parseModifiedDate(*text) : QDateTime());
  self->flowFor(info).watchedAgain(found, unsent);
  if (!self->startWatching(info)) return false;
  zuvo::logInfo(QStringLiteral("%1 : Open from an earlier run, watched again").arg(fileName));
  zuvo::folders::adoptFolder(token, folder, [self](std::function<void()> stopped) {
    self->flow_->stopWhenIdle(std::move(stopped));
  });
  return true;
}

bool DocumentEditController::recordDocument(const std::shared_ptr<DocInfo>& info, std::optional<QString>* error) {
  if (!unrecordedModified_) return true;
  QString why;
  if (!zuvo::documentdb::insertDocument(GlobalData::sharedGlobalData().getDatabasePath(), info->fileName,
                                        *unrecordedModified_, info->token, &why)) {
    zuvo::logError(QStringLiteral("Error while inserting document details into database"));
    zuvo::logError(QStringLiteral("%1 : %2").arg(info->fileName, why));
    if (error) *error = why;
    return false;
  }
  unrecordedModified_.reset();
  zuvo::logInfo(QStringLiteral("%1 : Document details inserted into database successfully").arg(info->fileName));
  return true;
}

void DocumentEditController::openWordDocument(const std::shared_ptr<DocInfo>& info) {
  try {
    zuvo::logInfo(QStringLiteral("%1 : Opening document for editing").arg(info->fileName));
    zuvo::wordprocessor::openFile(info->destinationFilePath);

    if (info->is_new_doc == QLatin1String("0")) {
      zuvo::logInfo(QStringLiteral("%1 : Replacing placeholders started").arg(info->fileName));
      if (info->placeHolderDic) {
        for (auto it = info->placeHolderDic->cbegin(); it != info->placeHolderDic->cend(); ++it) {
          bool ok = true;
          try {
            const QStringList scripts = zuvo::scripts::placeholderScripts(
                info->destinationFilePath, zuvo::scripts::tagFor(it.key()), it.value());
            for (const QString& script : scripts)
              if (!(ok = zuvo::wordprocessor::runScript(script).has_value())) break;
          } catch (const std::exception&) {
            ok = false;
          }
          if (!ok)
            zuvo::logError(QStringLiteral("%1 : Error occurred while replacing placeholders").arg(info->fileName));
        }
      }
      zuvo::logInfo(QStringLiteral("%1 : Replacing placeholders completed").arg(info->fileName));
    }

    if (info->is_template_doc) {
      placeHolderWindowController = std::make_shared<PlaceHolderWindowController>();
      placeHolderWindowController->setDocInfo(info);
      QWidget* window = placeHolderWindowController->window();
      window->setWindowTitle(QStringLiteral("Placeholder"));
      // No zoom button; floats above the word processor.
      window->setWindowFlag(Qt::WindowMaximizeButtonHint, false);
      window->setWindowFlag(Qt::WindowStaysOnTopHint, true);
      window->show();
      window->raise();
      window->activateWindow();
    }
  } catch (const std::exception& e) {
    zuvo::logError(QStringLiteral("%1 : Could not open the document, Error : %2")
                       .arg(info->fileName, QString::fromLocal8Bit(e.what())));
  }
}
