#include "bench/support/ScannedPage.h"

#include <QBuffer>
#include <QImage>
#include <QImageWriter>
#include <QPainter>

#include <algorithm>
#include <random>

namespace zuvo::bench {

QByteArray scannedPage(unsigned seed, int quality) {
  QImage page(kPageWidth, kPageHeight, QImage::Format_RGB32);
  page.fill(QColor(246, 245, 240));
  std::mt19937 rng(seed);
  {
    QPainter p(&page);
    for (int y = 300; y < kPageHeight - 300; y += 55) {
      if (rng() % 9 == 0) continue;  // paragraph gap
      for (int x = 250; x < kPageWidth - 300;) {
        const int w = 40 + int(rng() % 220);
        const int shade = 20 + int(rng() % 40);
        p.fillRect(x, y, std::min(w, kPageWidth - 250 - x), 30, QColor(shade, shade, shade + 5));
        x += w + 25;
      }
    }
  }
  for (int y = 0; y < kPageHeight; ++y) {
    auto* line = reinterpret_cast<QRgb*>(page.scanLine(y));
    for (int x = 0; x < kPageWidth; ++x) {
      const int n = int(rng() % 9) - 4;
      const QRgb c = line[x];
      line[x] = qRgb(std::clamp(qRed(c) + n, 0, 255), std::clamp(qGreen(c) + n, 0, 255),
                     std::clamp(qBlue(c) + n, 0, 255));
    }
  }
  page.setDotsPerMeterX(kPageDpm);
  page.setDotsPerMeterY(kPageDpm);
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, "jpeg");
  writer.setQuality(quality);
  writer.write(page);
  return bytes;
}

}  // namespace zuvo::bench
