#include "installer/AppDelegate.h"

#include "installer/InstallerLog.h"
#include "platform/desktop/Alert.h"
#include "platform/fs/Paths.h"

#include "ui_AppDelegate.h"

#include <QCloseEvent>
#include <QDir>
#include <QThread>

namespace zuvo::installer {

OperatingSystemVersion currentOperatingSystemVersion() { return {}; }

namespace {
const QString kVersion = QStringLiteral(ZUVO_INSTALLER_VERSION);
}

AppDelegate::AppDelegate(QString payload, OperatingSystemVersion version, UninstallOptions uninstallOptions,
                         QObject* parent)
    : QObject(parent),
      payload_(std::move(payload)),
      version_(version),
      uninstallOptions_(std::move(uninstallOptions)),
      window_(std::make_unique<QWidget>()),
      ui_(std::make_unique<Ui::InstallerWindow>()) {
  ui_->setupUi(window_.get());
  window_->installEventFilter(this);
  connect(ui_->butInstall, &QPushButton::clicked, this, &AppDelegate::installPlugin);
  connect(ui_->butUninstall, &QPushButton::clicked, this, &AppDelegate::uninstallPlugin);
  connect(ui_->butCancel, &QPushButton::clicked, this, &AppDelegate::cancelInstallation);
  connect(ui_->butOk, &QPushButton::clicked, this, &AppDelegate::terminateApp);
}

AppDelegate::~AppDelegate() {
  if (worker_) {
    worker_->wait();
    delete worker_;
  }
}

QWidget* AppDelegate::window() const { return window_.get(); }

void AppDelegate::applicationDidFinishLaunching() {
  window_->show();
  if (!operatingSystemSupported(version_.major, version_.minor)) {
    showAlert(QStringLiteral("General Requirements"),
              QStringLiteral("ZuvoDoc Plugin Version %1 requires macOS 10.13 or later.").arg(kVersion),
              {QStringLiteral("Ok")}, window_.get());
    emit terminateRequested();
    return;
  }
  ui_->txtVersion->setText(QStringLiteral("Version %1").arg(kVersion));
  ui_->progressIndicator->setRange(0, 100);
  ui_->progressIndicator->setValue(0);
  ui_->progressIndicator->hide();

  // A failure shows later, when the bundles cannot be copied.
  QDir().mkpath(paths::dataFolder());

  hideAllButtons();
  if (isInstalled(payload_)) offer(ui_->butUninstall, false);
  else offer(ui_->butInstall, true);
}

void AppDelegate::hideAllButtons() {
  for (QPushButton* b : {ui_->butInstall, ui_->butUninstall, ui_->butCancel, ui_->butOk}) {
    b->hide();
    b->setDefault(false);
  }
}

void AppDelegate::offer(QPushButton* main, bool mainFirst) {
  main->setDefault(true);
  // Install stands before Cancel, Uninstall after it.
  ui_->buttonLayout->removeWidget(main);
  ui_->buttonLayout->removeWidget(ui_->butCancel);
  if (mainFirst) {
    ui_->buttonLayout->addWidget(main);
    ui_->buttonLayout->addWidget(ui_->butCancel);
  } else {
    ui_->buttonLayout->addWidget(ui_->butCancel);
    ui_->buttonLayout->addWidget(main);
  }
  ui_->butCancel->show();
  main->show();
}

void AppDelegate::installPlugin() { runSteps(true); }
void AppDelegate::uninstallPlugin() { runSteps(false); }
void AppDelegate::cancelInstallation() { emit terminateRequested(); }
void AppDelegate::terminateApp() { emit terminateRequested(); }

bool AppDelegate::takeLock() {
  QString error;
  switch (InstallerLock::take(&lock_, &error)) {
    case InstallerLock::Result::Taken:
      return true;
    case InstallerLock::Result::Busy:
      showAlert(QStringLiteral("Another installer is running."),
                QStringLiteral("Wait until it has finished, then try again."), {QStringLiteral("Ok")}, window_.get());
      return false;
    case InstallerLock::Result::Failed:
      // The lock only guards against a second installer: without it the steps still run.
      logInstallerError(error);
      return true;
  }
  return true;
}

bool AppDelegate::askToKeepLetters(const QStringList& letters, const QString& folder) {
  const int answer = showAlert(
      QStringLiteral("These letters hold changes the server never accepted: %1.").arg(letters.join(QStringLiteral(", "))),
      QStringLiteral("They will be kept in %1, where only you can open them. Delete them with the plug-in instead?")
          .arg(folder),
      {QStringLiteral("Keep"), QStringLiteral("Delete")}, window_.get(), AlertStyle::Warning);
  return answer != 1;
}

void AppDelegate::runSteps(bool installing) {
  if (busy_ || worker_) return;  // once per window
  if (!takeLock()) return;
  busy_ = true;
  for (QPushButton* b : {ui_->butInstall, ui_->butUninstall, ui_->butCancel, ui_->butOk}) b->setEnabled(false);
  ui_->progressIndicator->setRange(0, 0);  // indeterminate
  ui_->progressIndicator->show();

  auto failures = std::make_shared<int>(0);
  auto report = std::make_shared<UninstallReport>();
  const QString payload = payload_;
  UninstallOptions options = uninstallOptions_;
  if (!options.keepLetters)
    options.keepLetters = [this](const QStringList& letters, const QString& folder) {
      return askToKeepLetters(letters, folder);
    };
  worker_ = QThread::create([installing, payload, options, failures, report] {
    StepLog log;
    if (installing) install(payload, log);
    else *report = uninstall(log, options);
    *failures = log.failures();
  });
  connect(worker_, &QThread::finished, this, [this, installing, failures, report] {
    busy_ = false;
    lock_.reset();
    showFinished(installing, *failures, *report);
  });
  worker_->start();
}

void AppDelegate::showFinished(bool installing, int failures, const UninstallReport& report) {
  ui_->progressIndicator->hide();
  QString text = installing ? QStringLiteral("Installation finished.") : QStringLiteral("Uninstallation finished.");
  if (!report.keptFolder.isEmpty())
    text += QStringLiteral("\nLetters with changes the server never accepted are kept in %1: %2.")
                .arg(report.keptFolder, report.keptLetters.join(QStringLiteral(", ")));
  if (failures > 0) text += QStringLiteral("\nSome steps failed; see the system log.");
  ui_->txtMessage->setText(text);
  ui_->txtMessage->show();
  hideAllButtons();
  ui_->butOk->setEnabled(true);
  ui_->butOk->setDefault(true);
  ui_->butOk->show();
  emit finished();
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
  // The steps are never cut off half-way by closing the window.
  if (watched == window_.get() && event->type() == QEvent::Close && busy_) {
    event->ignore();
    return true;
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace zuvo::installer
