// The values the scanner window shows for the state of the selected device: button titles
// for a session, an overview scan and a scan in progress, and the overview picture.
#pragma once

#include <QPixmap>
#include <QString>
#include <QVariant>

class QImage;

namespace ValueTransformers {

// A picture of the same pixel size; a null image stays null.
QPixmap CGImageRefToNSImageTransformer(const QImage& image);
// "Close" for a number whose integer value is not 0, else "Open" (also for nothing or text).
QString OpenControlTitle(const QVariant& value);
// "Cancel" for a number whose integer value is not 0, else "Overview".
QString OverviewControlTitle(const QVariant& value);
// "Cancel" for a number whose integer value is not 0, else "Scan".
QString ScanControlTitle(const QVariant& value);

}  // namespace ValueTransformers
