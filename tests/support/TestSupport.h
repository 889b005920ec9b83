// Small helpers shared by the tests.
#pragma once

#include <string>

#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>

namespace zuvo::test {

// The private folder tests/isolate made for this test (falls back to TMPDIR).
QString testRoot();
// A new empty folder under the test root.
QString makeTempDir(const QString& prefix = QStringLiteral("t"));
// Path of a file in the source tree / build tree.
QString sourcePath(const QString& relative);
QString binaryPath(const QString& relative);

QByteArray readFile(const QString& path);

// The statements that make the editor's database (editor/Resources/ZuvoEditor.sql).
std::string editorDatabaseSchema();
bool writeFile(const QString& path, const QByteArray& data);

// Runs the Qt event loop until pred() is true or the time is up; returns pred().
bool waitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));
// Runs the Qt event loop for the given time.
void spin(std::chrono::milliseconds time);

// Runs a program to its end; returns its exit code (-1 when it could not start).
int runProgram(const QString& program, const QStringList& args, QByteArray* out = nullptr,
               QByteArray* err = nullptr, std::chrono::milliseconds timeout = std::chrono::seconds(60));

// Runs fn with this thread in a network namespace of its own where no interface is up, so
// that the reachability probe finds no route; the thread's namespace is restored afterwards.
// False when namespaces are not allowed here.
bool withoutNetwork(const std::function<void()>& fn);

// A small file system (tmpfs of `bytes`) at the folder (made when missing), seen by this thread
// and the programs it starts from then on: the thread moves into a mount namespace of its own
// (root only). False with the reason in *error otherwise. Unmounted by unmountFileSystem.
bool mountSmallFileSystem(const QString& folder, qint64 bytes, QString* error);
bool unmountFileSystem(const QString& folder);
// Fills the file system that holds the folder with a file in it, until no byte more fits, then
// frees leaveFree bytes of it again (a later write gets that far before the disk is full).
bool fillFileSystem(const QString& folder, qint64 leaveFree = 0);

}  // namespace zuvo::test
