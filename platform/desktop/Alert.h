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
// In a test build, when the alert-log test hook names a file (ZUVO_ALERT_LOG), the alert is
// appended to it as one JSON line {"message", "informative", "buttons"} and answered at once
// with the first button, or with the button the alert-answer test hook names
// (ZUVO_ALERT_ANSWER) when it has one.
int showAlert(const QString& message, const QString& informative = QString(),
              const QStringList& buttons = {QStringLiteral("Ok")}, QWidget* sheetParent = nullptr);

// Shows an alert without waiting for it: queued to the main thread from any thread, shown
// there as a window of its own, and this returns at once. For flows that must go on while
// the user has not answered. With the alert-log test hook it is logged like showAlert's.
void showAlertLater(const QString& message, const QString& informative = QString(),
                    const QStringList& buttons = {QStringLiteral("Ok")});

enum class AlertStyle { Informational, Warning };

// The same in a style. For a question whose first button acts, an alert left without a button
// (Escape, closing it, or no display to show it on) returns -1 rather than the first button;
// a button named "Cancel" is the one Escape presses. The alert log records the style as
// "style": "warning" (informational alerts log no style). A warning is never answered by the
// log with a button the test did not name: it gets its "Cancel" (-1 without one), and its line
// says so with "answer": "Cancel" (or null).
int showAlert(const QString& message, const QString& informative, const QStringList& buttons,
              QWidget* sheetParent, AlertStyle style);

}  // namespace zuvo
