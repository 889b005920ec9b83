// The scanner devices on SANE: makeSaneScannerBrowser() (declared in ScannerDevice.h) and the
// pure rules that turn a SANE device's options into what the scanner window sees. Only
// programs that scan link this (zuvo_platform_scan, which brings libsane).
#pragma once

#include "platform/scan/ScannerDevice.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <optional>

namespace zuvo::scan {

// SANE device types ("still camera", "webcam", ...) that are cameras, never scanners.
bool isCameraType(const QString& saneType);

// The functional-unit type a value of the `source` option stands for; -1 when none.
int unitTypeOfSource(const QString& sourceValue);

// What the unit mapping reads of a device's options.
struct SourceOptions {
  std::optional<QStringList> source;  // values of `source`; none: the device has no such option
  QStringList adfMode;                // values of `adf-mode` (empty: no such option)
  bool duplexOption = false;          // a boolean `duplex` option
};

struct UnitMap {
  QList<int> types;                 // ascending, no duplicates
  QMap<int, QString> sourceForType;  // the `source` value to set for each type (absent: set none)
  QString duplexSource;             // `source` value of a two-sided feeder scan
  QString adfModeSimplex, adfModeDuplex;  // `adf-mode` values
  bool duplexOption = false;
  bool supportsDuplex() const {
    return types.contains(DocumentFeeder) &&
           (!duplexSource.isEmpty() || !adfModeDuplex.isEmpty() || duplexOption);
  }
};

UnitMap mapFunctionalUnits(const SourceOptions& options);

// The `resolution` option's constraint, in dots per inch.
struct ResolutionConstraint {
  enum Kind { None, WordList, Range } kind = None;
  QList<double> words;
  double min = 0, max = 0, quant = 0;
};

// A word list as it stands (ascending, no duplicates); a range offers the standard values
// that lie in it, its minimum alone when none does; no constraint offers nothing.
QList<int> supportedResolutions(const ResolutionConstraint& constraint);

// SANE handles this process has open now (every one is closed at the end).
int openSaneHandleCount();

}  // namespace zuvo::scan
