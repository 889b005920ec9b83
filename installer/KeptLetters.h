// Letters whose changes the server never accepted, taken out of the DataFolder before it is
// removed: copied into an owner-only folder outside it, each backup archive also opened there
// (its letter readable without the editor's password).
#pragma once

#include "common/LetterState.h"
#include "installer/InstallerLog.h"

#include <QString>
#include <QStringList>

#include <vector>

namespace zuvo::installer {

// A new folder name for them: "~/ZuvoDoc unsent letters/<yyyy-MM-dd HH.mm.ss>" (not made).
QString keptLettersFolder();

// Copies every letter into `folder` (made owner-only, its parent too); an archive is copied
// and its entries are written beside it into a folder of its name without ".zip". Failures
// are logged; false when any letter could not be kept.
bool keepLetters(const std::vector<letters::Unsent>& unsent, const QString& folder, StepLog& log);

// Writes the archive's entries into `into` (made, owner-only): only plain relative names,
// nothing replaced, no link followed. False with the reason in *error.
bool extractArchive(const QString& archive, const QByteArray& password, const QString& into, QString* error);

}  // namespace zuvo::installer
