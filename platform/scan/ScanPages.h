// Scanned pages as files: JPEG pages named "Scan.jpeg", "Scan 1.jpeg", "Scan 2.jpeg", ...
// in the downloads folder, each complete under its final name before anyone hears of it.
#pragma once

#include <QImage>
#include <QString>

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

}  // namespace zuvo::scan
