// Every alert of every program goes through here.
#pragma once

#include <QString>
#include <QStringList>

class QWidget;

namespace zuvo {

// Shows an alert and returns the index of the button the user chose (0 = first).
// Runs modally on the main thread; called from another thread it hands the alert over
// and waits. With a sheetParent the alert is window-modal on that window.
// Without a display it is logged as an error and answered with the first button.
// When the alert-log test hook names a file (ZUVO_ALERT_LOG), the alert is appended to it as
// one JSON line {"message", "informative", "buttons"} and answered at once with the first button.
int showAlert(const QString& message, const QString& informative = QString(),
              const QStringList& buttons = {QStringLiteral("Ok")}, QWidget* sheetParent = nullptr);

// Hands the alert to the main thread and returns at once; nobody learns which button was
// chosen. For threads that must never wait for a person (the bridge's request handling).
void showAlertLater(const QString& message, const QString& informative = QString(),
                    const QStringList& buttons = {QStringLiteral("Ok")});

}  // namespace zuvo
