// What the document server has of each letter, kept by the editor in
// <DataFolder>/Data/ZuvoEditor/State/<token> (owner-only), so that the installer can tell,
// without the editor, which copies hold changes the server never accepted.
//
// A record holds the letter's file name, the modification time (to the nanosecond) of the
// copy the server has (as downloaded, or the last save it accepted), and whether a backup of
// the letter (its archive, an older dated one, or its fallback folder) holds a save the server
// never accepted; that stays, since older archives are kept.
#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <optional>
#include <vector>

namespace zuvo::letters {

struct Record {
  QString name;
  std::optional<std::chrono::nanoseconds> accepted;
  bool backupUnsent = false;
};

// The password of every backup archive: the editor writes them, the installer opens those it
// keeps for the user.
QByteArray backupPassword();

// <editorFolder>/State/<token>; editorFolder is <DataFolder>/Data/ZuvoEditor.
QString recordPath(const QString& editorFolder, const QString& token);
std::optional<Record> readRecord(const QString& editorFolder, const QString& token);

// The server has the copy of this modification time.
bool recordAccepted(const QString& editorFolder, const QString& token, const QString& name,
                    std::chrono::nanoseconds modified, QString* error = nullptr);
// A copy of the token folder goes into the backup: unsent when its document is not the copy
// the server has (or nothing tells which copy that is).
void noteBackedUpFolder(const QString& editorFolder, const QString& token, const QString& folder);

// One letter whose only copy of some change is in the DataFolder.
struct Unsent {
  QString token;
  QString name;    // the letter's file name
  QString source;  // what holds it: the document in its folder, a backup archive or folder
};
// Every such letter: documents in their token folders that are not the copy the server has
// (or of which no record tells), and every backup of the letters whose backups hold one.
std::vector<Unsent> unsentLetters(const QString& editorFolder);

}  // namespace zuvo::letters
