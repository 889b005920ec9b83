// Scanned pages as files: JPEG pages named "Scan.jpeg", "Scan 1.jpeg", "Scan 2.jpeg", ...
// in the scan folder, each complete under its final name before anyone hears of it.
#pragma once

#include <QImage>
#include <QObject>
#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace zuvo::scan {

// index 0: "<name>.jpeg"; index n: "<name> n.jpeg".
QString scanPageName(const QString& documentName, int index);

struct ScanPageResult {
  QString path;   // the page, when written
  QString error;  // why not, otherwise
};

// Writes the image as a JPEG (quality 95, dpi in the file when > 0) to a temporary file in
// folder, then moves it to the first free page name from *nextIndex on, never replacing a
// file; *nextIndex becomes the index after the one used.
ScanPageResult writeScanPage(const QImage& image, int dpi, const QString& folder,
                             const QString& documentName, int* nextIndex);

// The pages of one scan at a time, written in the order they came on one thread of their own,
// so that a big page never holds up the window. Its signals and callbacks come on the thread
// that made it. Once a page of a scan cannot be written, the scan's later pages are dropped:
// a scan never has a gap in its pages.
class ScanPageWriter : public QObject {
  Q_OBJECT
 public:
  explicit ScanPageWriter(QObject* parent = nullptr);
  // Drops the pages not written yet; waits for the one being written.
  ~ScanPageWriter() override;

  // A new scan: its pages go into folder under documentName's page names, from index 0 on.
  // The pages of an earlier scan not written yet are dropped, and its waiting callbacks
  // never run; returns once no page of it is being written.
  void begin(const QString& folder, const QString& documentName);
  QString folder() const { return folder_; }
  QString documentName() const { return documentName_; }

  // A page of the current scan, written after those added before it.
  void add(const QImage& image, int dpi);
  // done runs once every page added so far has been written (or dropped) and announced; at
  // once when none is outstanding.
  void whenWritten(std::function<void()> done);
  // Pages added and not yet announced.
  int pending() const { return pending_; }
  // The first write error of the current scan; empty when none.
  QString failure() const { return failure_; }

 signals:
  void pageWritten(const QString& path);
  // The first page of the scan that could not be written; the later ones are dropped.
  void pageFailed(const QString& error);

 private:
  struct Job {
    quint64 scan = 0;
    QImage image;
    int dpi = 0;
    QString folder, documentName;
  };
  struct Result {
    quint64 scan = 0;
    ScanPageResult page;
    bool dropped = false;
  };
  void run();
  void delivered(const Result& result);

  // Main thread.
  QString folder_, documentName_;
  int pending_ = 0;
  QString failure_;
  std::vector<std::function<void()>> waiting_;

  // Shared with the writing thread.
  std::mutex mutex_;
  std::condition_variable wake_, idle_;
  std::deque<Job> queue_;
  quint64 scan_ = 0;
  bool writing_ = false;
  bool stopping_ = false;

  // Writing thread only.
  quint64 workerScan_ = 0;
  int nextIndex_ = 0;
  bool workerFailed_ = false;

  std::thread thread_;  // last: starts once the rest exists
};

}  // namespace zuvo::scan
