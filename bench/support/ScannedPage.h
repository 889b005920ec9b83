// A scanned A4 text page at 300 dpi, made the same way by every benchmark that needs pages.
#pragma once

#include <QByteArray>

namespace zuvo::bench {

constexpr int kPageWidth = 2480, kPageHeight = 3508, kPageDpm = 11811;  // A4 at 300 dpi

// Lines of word-like strokes on paper with sensor noise, as a JPEG file's bytes; the seed
// picks the page, quality -1 is Qt's default (the one the scanner writes with).
QByteArray scannedPage(unsigned seed, int quality = -1);

}  // namespace zuvo::bench
