// The two script shapes the editor sends, read back into what they ask for. Anything else is
// refused before it reaches LibreOffice.
#pragma once

#include <QString>
#include <variant>

namespace zuvo::writer {

// Open the file and replace every whole-word, case-sensitive tag by the value.
struct FillPlaceholder {
  QString path;
  QString tag;
  QString value;
};

// Type the text over the selection of the front document.
struct InsertAtSelection {
  QString text;
};

struct UnknownScript {
  QString reason;
};

using Script = std::variant<FillPlaceholder, InsertAtSelection, UnknownScript>;

// Lines are compared without their leading spaces; string literals take the escapes
// \" \\ \n \r \t and nothing else.
Script parseScript(const QString& source);

}  // namespace zuvo::writer
