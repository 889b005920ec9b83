// This user's LibreOffice over UNO. Every call blocks; the bridge makes them from one worker
// thread and bounds them from outside.
#pragma once

#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>

namespace zuvo::writer {

struct OfficeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct OfficeOptions {
  QString program;    // the start script
  QString pipeName;
  bool headless = false;
  std::chrono::milliseconds startTimeout{40'000};
  std::function<void()> onTermination;  // LibreOffice is ending (called on a UNO thread)
};

class Office {
 public:
  explicit Office(OfficeOptions options);
  ~Office();
  Office(const Office&) = delete;
  Office& operator=(const Office&) = delete;

  // Connects to the running LibreOffice, starting it when none answers. Throws OfficeError.
  void connect();
  bool startedByUs() const;
  bool connected() const;

  // Shows the document (loaded, or the open one; reloaded when the file was replaced since).
  void open(const QString& path);
  // Opens the document and replaces every whole-word, case-sensitive tag: body, tables,
  // headers and footers. Returns the number replaced.
  int fill(const QString& path, const QString& tag, const QString& value);
  // Types the text over the selection of the front text document.
  void typeAtSelection(const QString& text);
  // Prints one document on this printer (empty: the document's own), waiting until it has
  // gone to the spooler. A document that was not open is loaded hidden and closed again.
  void print(const QString& path, const QString& printer);
  // Ends LibreOffice when no document is open in it any more.
  void terminateIfIdle();

 private:
  struct Impl;
  std::unique_ptr<Impl> d;
};

}  // namespace zuvo::writer
