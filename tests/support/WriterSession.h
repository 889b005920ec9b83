// The real LibreOffice behind ZuvoWriterBridge, as a test or benchmark sees it: the bridge's
// desktop entry in this test's home, the pipe and process of the test's LibreOffice, and a
// user's actions in it over UNO (tests/editor/office/office_user.py).
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace zuvo::test {

QString writerBridgeProgram();
// Writes $XDG_DATA_HOME/applications/com.microsoft.Word.desktop for the bridge.
bool installWriterEntry(const QString& tryExec = {});
// The UNO pipe the bridge gives this test's LibreOffice profile.
QString officePipe();
// The soffice.bin that listens on that pipe (0 when none runs).
qint64 officePid();
// The bridge that owns the word processor's bus name (0 when none).
qint64 writerBridgePid();
// Kills the bridge the editor started (it keeps the environment it was started with).
void stopWriterBridge();
// Runs office_user.py with the pipe and these arguments; its exit code.
int officeUser(const QStringList& args, QByteArray* out = nullptr);
// VmRSS of a process in kB (0 when unknown).
qint64 residentKb(qint64 pid);

}  // namespace zuvo::test
