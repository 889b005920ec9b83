// One PDF of scanned pages: one page per image file, in the order given.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

namespace zuvo::pdf {

// Writes `pageFiles` as the pages of one PDF at `pdfPath`. A JPEG page is embedded as the
// file's own bytes once its coded data is found to fill the size its header states; any other
// image Qt reads goes in losslessly (Flate). A file or image larger than any page (PageLimits.h)
// is an unreadable page, refused before it is read or decoded. Each
// page measures the image's pixel size at the file's resolution (72 dpi when it states none),
// without margins, turned as the file's orientation says.
//
// Whatever was at `pdfPath` is removed first, and the PDF is written under a hidden name
// beside it and moved into place only when complete: on failure (false, with the reason in
// *error; a page that cannot be read is named there and in *unreadablePage) no PDF is left at
// `pdfPath`.
//
// `pageDone`, when given, hears the number of pages written after each one; answering false
// stops the work there (false, *error "cancelled", no PDF left).
bool assemblePdf(const QStringList& pageFiles, const QString& pdfPath, QString* error = nullptr,
                 QString* unreadablePage = nullptr, const std::function<bool(int pagesDone)>& pageDone = {});

}  // namespace zuvo::pdf
