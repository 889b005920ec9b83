#include "scanner/PdfAssembler.h"

#include "platform/fs/Files.h"
#include "scanner/PageLimits.h"

#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QTemporaryFile>

#include <zlib.h>

#include <cerrno>
#include <csetjmp>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <optional>
#include <unistd.h>
#include <vector>

#include <jerror.h>
#include <jpeglib.h>

namespace zuvo::pdf {
namespace {

constexpr double kDefaultDpi = 72.0;

quint16 be16(const uchar* p) { return quint16(p[0] << 8 | p[1]); }

// Resolution and orientation as a file states them; unset fields were not stated.
struct Metadata {
  std::optional<double> dpiX, dpiY;
  int orientation = 1;  // 1..8 as in EXIF and TIFF
};

// Reads orientation and resolution from the first directory of a TIFF structure (a TIFF
// file, or the EXIF block of a JPEG). Returns false when the structure is not TIFF.
bool readTiffDirectory(const uchar* data, qsizetype size, Metadata* meta) {
  if (size < 8) return false;
  const bool little = data[0] == 'I' && data[1] == 'I';
  if (!little && !(data[0] == 'M' && data[1] == 'M')) return false;
  const auto u16 = [&](qsizetype at) -> quint32 {
    return little ? quint32(data[at] | data[at + 1] << 8) : quint32(data[at] << 8 | data[at + 1]);
  };
  const auto u32 = [&](qsizetype at) -> quint32 {
    return little ? quint32(u16(at) | u16(at + 2) << 16) : quint32(u16(at) << 16 | u16(at + 2));
  };
  if (u16(2) != 42) return false;
  const quint32 ifd = u32(4);
  if (ifd > quint64(size) - 2) return false;
  const quint32 count = u16(ifd);
  std::optional<double> resX, resY;
  int unit = 2;  // inches unless the file says otherwise
  for (quint32 i = 0; i < count; ++i) {
    const qsizetype entry = ifd + 2 + qsizetype(i) * 12;
    if (entry + 12 > size) break;
    const quint32 tag = u16(entry), type = u16(entry + 2);
    const auto shortValue = [&] { return type == 3 ? int(u16(entry + 8)) : -1; };
    const auto rationalValue = [&]() -> std::optional<double> {
      const quint32 at = u32(entry + 8);
      if (type != 5 || at > quint64(size) - 8) return std::nullopt;
      const quint32 num = u32(at), den = u32(at + 4);
      if (num == 0 || den == 0) return std::nullopt;
      return double(num) / den;
    };
    if (tag == 274) {
      const int o = shortValue();
      if (o >= 1 && o <= 8) meta->orientation = o;
    } else if (tag == 282) {
      resX = rationalValue();
    } else if (tag == 283) {
      resY = rationalValue();
    } else if (tag == 296) {
      unit = shortValue();
    }
  }
  const double perInch = unit == 2 ? 1.0 : unit == 3 ? 2.54 : 0.0;  // 1: no absolute unit
  if (perInch > 0 && resX && resY) {
    meta->dpiX = *resX * perInch;
    meta->dpiY = *resY * perInch;
  }
  return true;
}

// Reads the physical pixel size of a PNG (pHYs in pixels per metre).
void readPngMetadata(const QByteArray& file, Metadata* meta) {
  const auto* d = reinterpret_cast<const uchar*>(file.constData());
  qsizetype at = 8;
  while (at + 12 <= file.size()) {
    const quint64 length = quint64(be16(d + at)) << 16 | be16(d + at + 2);
    if (std::memcmp(d + at + 4, "IDAT", 4) == 0 || std::memcmp(d + at + 4, "IEND", 4) == 0) return;
    if (std::memcmp(d + at + 4, "pHYs", 4) == 0 && length == 9 && at + 17 <= file.size()) {
      const uchar* p = d + at + 8;
      const quint32 x = quint32(be16(p)) << 16 | be16(p + 2), y = quint32(be16(p + 4)) << 16 | be16(p + 6);
      if (p[8] == 1 && x > 0 && y > 0) {
        meta->dpiX = x * 0.0254;
        meta->dpiY = y * 0.0254;
      }
      return;
    }
    at += 12 + qsizetype(length);
  }
}

// What the embedding needs from a JPEG's headers.
struct JpegInfo {
  Metadata meta;
  int width = 0, height = 0, components = 0, precision = 0;
  uchar frameMarker = 0;
  bool adobe = false;
};

// Walks the JPEG's markers up to its end. Returns the reason when the file is not a complete
// JPEG (a truncated file ends before its end marker).
QString readJpeg(const QByteArray& file, JpegInfo* info) {
  const auto* d = reinterpret_cast<const uchar*>(file.constData());
  const qsizetype size = file.size();
  std::optional<double> jfifX, jfifY;
  Metadata exif;
  bool scanSeen = false;
  qsizetype at = 2;
  while (true) {
    if (scanSeen) {
      // Entropy-coded data: a 0xFF is followed by 0x00 (stuffing), a restart marker, or a
      // marker that ends the scan.
      const void* ff = std::memchr(d + at, 0xFF, size_t(size - at));
      if (!ff) return QStringLiteral("the JPEG data is truncated");
      at = static_cast<const uchar*>(ff) - d + 1;
      if (at >= size) return QStringLiteral("the JPEG data is truncated");
      const uchar next = d[at];
      if (next == 0x00 || next == 0xFF || (next >= 0xD0 && next <= 0xD7)) continue;
      --at;
    }
    if (at + 2 > size || d[at] != 0xFF) return QStringLiteral("the JPEG data is damaged or truncated");
    while (at + 1 < size && d[at + 1] == 0xFF) ++at;  // fill bytes
    if (at + 2 > size) return QStringLiteral("the JPEG data is truncated");
    const uchar marker = d[at + 1];
    at += 2;
    if (marker == 0xD9) {
      if (!scanSeen) return QStringLiteral("the JPEG has no image data");
      break;
    }
    if ((marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) continue;
    if (at + 2 > size) return QStringLiteral("the JPEG data is truncated");
    const qsizetype length = be16(d + at);
    if (length < 2 || at + length > size) return QStringLiteral("the JPEG data is truncated");
    const uchar* p = d + at + 2;
    const qsizetype n = length - 2;
    if (marker == 0xE0 && n >= 12 && std::memcmp(p, "JFIF\0", 5) == 0) {
      const int unit = p[7];
      const quint16 x = be16(p + 8), y = be16(p + 10);
      const double perInch = unit == 1 ? 1.0 : unit == 2 ? 2.54 : 0.0;  // 0: aspect ratio only
      if (perInch > 0 && x > 0 && y > 0) {
        jfifX = x * perInch;
        jfifY = y * perInch;
      }
    } else if (marker == 0xE1 && n >= 14 && std::memcmp(p, "Exif\0\0", 6) == 0) {
      readTiffDirectory(p + 6, n - 6, &exif);
    } else if (marker == 0xEE && n >= 12 && std::memcmp(p, "Adobe", 5) == 0) {
      info->adobe = true;
    } else if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
      if (n < 6) return QStringLiteral("the JPEG frame header is damaged");
      if (info->frameMarker == 0) {
        info->frameMarker = marker;
        info->precision = p[0];
        info->height = be16(p + 1);
        info->width = be16(p + 3);
        info->components = p[5];
      }
    } else if (marker == 0xDA) {
      if (info->frameMarker == 0) return QStringLiteral("the JPEG has no frame header");
      scanSeen = true;
    }
    at += length;
  }
  info->meta.orientation = exif.orientation;
  info->meta.dpiX = jfifX ? jfifX : exif.dpiX;
  info->meta.dpiY = jfifX ? jfifY : exif.dpiY;
  return {};
}

struct JpegCheck {
  jpeg_error_mgr base;
  std::jmp_buf jump;
  char reason[JMSG_LENGTH_MAX];
};

void jpegFailed(j_common_ptr info) {
  auto* check = reinterpret_cast<JpegCheck*>(info->err);
  info->err->format_message(info, check->reason);
  std::longjmp(check->jump, 1);
}

// Data missing for the size the header states is a failure; other warnings are not.
void jpegMessage(j_common_ptr info, int level) {
  if (level < 0 && (info->err->msg_code == JWRN_HIT_MARKER || info->err->msg_code == JWRN_JPEG_EOF ||
                    info->err->msg_code == JWRN_MUST_RESYNC))
    jpegFailed(info);
}

// A JPEG is embedded as it is, so its header's size is the page's: the coded data must fill
// that size. Every coefficient is decoded (at an eighth of the size, which spares most of the
// work and all but a row of the memory); data that ends before the frame is full is refused.
// Plain C between setjmp and longjmp: nothing there has a destructor.
bool jpegDataFillsFrame(const uchar* data, size_t size, char* reason) {
  JpegCheck check;
  jpeg_decompress_struct info;
  std::memset(&info, 0, sizeof info);  // destroyable even if its creation fails
  info.err = jpeg_std_error(&check.base);
  check.base.error_exit = jpegFailed;
  check.base.emit_message = jpegMessage;
  JSAMPLE* volatile row = nullptr;  // set after setjmp, read after longjmp
  if (setjmp(check.jump)) {
    std::strcpy(reason, check.reason);
    std::free(row);
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  // Progressive files keep every coefficient while they are decoded.
  info.mem->max_memory_to_use = long(pages::kDecodedPageLimitBytes);
  jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
  jpeg_read_header(&info, TRUE);
  info.scale_num = 1;
  info.scale_denom = 8;
  info.dct_method = JDCT_IFAST;
  info.do_fancy_upsampling = FALSE;
  jpeg_start_decompress(&info);
  row = static_cast<JSAMPLE*>(std::malloc(size_t(info.output_width) * size_t(info.output_components)));
  if (!row) {
    std::strcpy(reason, "out of memory");
    jpeg_destroy_decompress(&info);
    return false;
  }
  JSAMPLE* rows[] = {row};
  while (info.output_scanline < info.output_height) jpeg_read_scanlines(&info, rows, 1);
  jpeg_finish_decompress(&info);
  std::free(row);
  jpeg_destroy_decompress(&info);
  return true;
}

// A page's image as it goes into the PDF.
struct PageImage {
  int width = 0, height = 0;
  Metadata meta;
  QByteArray dictionary;  // the image dictionary's entries other than /Length
  QByteArray data;
  QByteArray alpha;       // Flate-compressed soft mask, when the image has transparency
  int alphaBits = 8;
};

QString deflate(const QByteArray& raw, QByteArray* out) {
  uLongf size = compressBound(uLong(raw.size()));
  out->resize(qsizetype(size));
  if (compress2(reinterpret_cast<Bytef*>(out->data()), &size,
                reinterpret_cast<const Bytef*>(raw.constData()), uLong(raw.size()), 6) != Z_OK)
    return QStringLiteral("the image could not be compressed");
  out->resize(qsizetype(size));
  return {};
}

// Rows without padding; 16-bit samples big-endian, as the PDF stores them.
QByteArray packedSamples(const QImage& image, int channels, int bytesPerSample) {
  const qsizetype rowBytes = qsizetype(image.width()) * channels * bytesPerSample;
  QByteArray raw(rowBytes * image.height(), Qt::Uninitialized);
  for (int y = 0; y < image.height(); ++y) {
    char* row = raw.data() + y * rowBytes;
    if (bytesPerSample == 1) {
      std::memcpy(row, image.constScanLine(y), size_t(rowBytes));
    } else {
      const auto* s = reinterpret_cast<const quint16*>(image.constScanLine(y));
      for (qsizetype i = 0; i < rowBytes / 2; ++i) {
        row[2 * i] = char(s[i] >> 8);
        row[2 * i + 1] = char(s[i] & 0xFF);
      }
    }
  }
  return raw;
}

// Colour and alpha samples of an RGBA8888 or RGBA64 image, 16-bit samples big-endian.
void splitSamples(const QImage& image, bool wide, QByteArray* colour, QByteArray* alpha) {
  const qsizetype pixels = qsizetype(image.width()) * image.height(), bytes = wide ? 2 : 1;
  colour->resize(pixels * 3 * bytes);
  if (alpha) alpha->resize(pixels * bytes);
  char* c = colour->data();
  char* a = alpha ? alpha->data() : nullptr;
  for (int y = 0; y < image.height(); ++y) {
    if (wide) {
      const auto* s = reinterpret_cast<const quint16*>(image.constScanLine(y));
      for (int x = 0; x < image.width(); ++x) {
        for (int k = 0; k < 3; ++k) {
          *c++ = char(s[4 * x + k] >> 8);
          *c++ = char(s[4 * x + k] & 0xFF);
        }
        if (a) {
          *a++ = char(s[4 * x + 3] >> 8);
          *a++ = char(s[4 * x + 3] & 0xFF);
        }
      }
    } else {
      const uchar* s = image.constScanLine(y);
      for (int x = 0; x < image.width(); ++x) {
        *c++ = char(s[4 * x]);
        *c++ = char(s[4 * x + 1]);
        *c++ = char(s[4 * x + 2]);
        if (a) *a++ = char(s[4 * x + 3]);
      }
    }
  }
}

int exifOrientation(QImageIOHandler::Transformations t) {
  switch (int(t)) {
    case QImageIOHandler::TransformationMirror: return 2;
    case QImageIOHandler::TransformationRotate180: return 3;
    case QImageIOHandler::TransformationFlip: return 4;
    case QImageIOHandler::TransformationFlipAndRotate90: return 5;
    case QImageIOHandler::TransformationRotate90: return 6;
    case QImageIOHandler::TransformationMirrorAndRotate90: return 7;
    case QImageIOHandler::TransformationRotate270: return 8;
    default: return 1;
  }
}

// Any image Qt reads, decoded and stored without loss.
QString decodedImage(const QString& path, PageImage* page) {
  QImageReader reader(path);
  reader.setAutoTransform(false);
  reader.setAllocationLimit(pages::kDecodedPageLimitMB);
  if (const QSize size = reader.size(); size.isValid() && !pages::fitsDecoded(size.width(), size.height()))
    return QStringLiteral("the image is too large for a page (%1 x %2 pixels)").arg(size.width()).arg(size.height());
  const int orientation = exifOrientation(reader.transformation());
  QImage image = reader.read();
  if (image.isNull()) return reader.errorString();
  if (page->meta.orientation == 1) page->meta.orientation = orientation;
  page->width = image.width();
  page->height = image.height();

  const QImage::Format format = image.format();
  const bool wide = format == QImage::Format_Grayscale16 || format == QImage::Format_RGBX64 ||
                    format == QImage::Format_RGBA64 || format == QImage::Format_RGBA64_Premultiplied;
  const bool hasAlpha = image.hasAlphaChannel();
  const bool gray = !hasAlpha && (format == QImage::Format_Grayscale16 || image.isGrayscale());
  QByteArray raw;
  if (gray) {
    image = image.convertToFormat(wide ? QImage::Format_Grayscale16 : QImage::Format_Grayscale8);
    raw = packedSamples(image, 1, wide ? 2 : 1);
  } else if (wide || hasAlpha) {
    image = image.convertToFormat(wide ? QImage::Format_RGBA64 : QImage::Format_RGBA8888);
    splitSamples(image, wide, &raw, hasAlpha ? &page->alpha : nullptr);
  } else {
    image = image.convertToFormat(QImage::Format_RGB888);
    raw = packedSamples(image, 3, 1);
  }
  if (QString why = deflate(raw, &page->data); !why.isEmpty()) return why;
  if (!page->alpha.isEmpty()) {
    QByteArray packed;
    if (QString why = deflate(page->alpha, &packed); !why.isEmpty()) return why;
    page->alpha = packed;
    page->alphaBits = wide ? 16 : 8;
  }
  page->dictionary = QByteArray(gray ? "/ColorSpace /DeviceGray" : "/ColorSpace /DeviceRGB") +
                     " /BitsPerComponent " + (wide ? "16" : "8") + " /Filter /FlateDecode";
  return {};
}

QString loadPage(const QString& path, PageImage* page) {
  const QFileInfo info(path);
  if (!info.exists()) return files::errnoText(ENOENT);
  if (!info.isFile()) return QStringLiteral("it is not a file");
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return file.errorString();
  // The size of the open file, not of a name that may have changed since.
  if (file.size() > pages::kPageFileLimitBytes)
    return QStringLiteral("the file is too large for a page (%1 bytes, at most %2)")
        .arg(file.size())
        .arg(pages::kPageFileLimitBytes);
  QByteArray bytes = file.readAll();
  if (file.error() != QFileDevice::NoError) return file.errorString();
  const auto* d = reinterpret_cast<const uchar*>(bytes.constData());

  if (bytes.size() >= 3 && d[0] == 0xFF && d[1] == 0xD8 && d[2] == 0xFF) {
    JpegInfo jpeg;
    if (QString why = readJpeg(bytes, &jpeg); !why.isEmpty()) return why;
    page->meta = jpeg.meta;
    // The file itself is the page's image when a PDF reader can take it as it is: Huffman
    // coded, 8 bits, grey, RGB or CMYK.
    const bool embeddable = (jpeg.frameMarker == 0xC0 || jpeg.frameMarker == 0xC1 || jpeg.frameMarker == 0xC2) &&
                            jpeg.precision == 8 && jpeg.width > 0 && jpeg.height > 0 &&
                            (jpeg.components == 1 || jpeg.components == 3 || jpeg.components == 4);
    if (!embeddable) return decodedImage(path, page);
    if (char reason[JMSG_LENGTH_MAX]; !jpegDataFillsFrame(d, size_t(bytes.size()), reason))
      return QStringLiteral("the JPEG data does not match its %1 x %2 header (%3)")
          .arg(jpeg.width)
          .arg(jpeg.height)
          .arg(QString::fromLocal8Bit(reason));
    page->width = jpeg.width;
    page->height = jpeg.height;
    page->dictionary = jpeg.components == 1   ? "/ColorSpace /DeviceGray"
                       : jpeg.components == 3 ? "/ColorSpace /DeviceRGB"
                                              : "/ColorSpace /DeviceCMYK";
    // Adobe's CMYK JPEGs store the inks inverted.
    if (jpeg.components == 4 && jpeg.adobe) page->dictionary += " /Decode [1 0 1 0 1 0 1 0]";
    page->dictionary += " /BitsPerComponent 8 /Filter /DCTDecode";
    page->data = std::move(bytes);
    return {};
  }
  if (bytes.size() >= 8 && std::memcmp(d, "\x89PNG\r\n\x1a\n", 8) == 0) {
    readPngMetadata(bytes, &page->meta);
  } else if (bytes.size() >= 8 && (std::memcmp(d, "II*\0", 4) == 0 || std::memcmp(d, "MM\0*", 4) == 0)) {
    readTiffDirectory(d, bytes.size(), &page->meta);
    page->meta.orientation = 1;  // Qt reports it with the decoded image
  }
  bytes = {};
  return decodedImage(path, page);
}

QByteArray number(double v) {
  QByteArray text = QByteArray::number(v, 'f', 4);
  while (text.endsWith('0')) text.chop(1);
  if (text.endsWith('.')) text.chop(1);
  return text == "-0" ? "0" : text;
}

// Objects are written as they come; the page tree (object 2) goes last, when its kids are known.
// Straight to the file descriptor: a buffered device that writes part of its data before the
// disk fills up loses the system's reason and says "Unknown error".
class PdfWriter {
 public:
  explicit PdfWriter(int fd) : fd_(fd) {}

  bool ok() const { return error_ == 0; }
  // The system's reason for the first failed write.
  QString error() const { return files::errnoText(error_); }
  int newObject() {
    offsets_.push_back(-1);
    return int(offsets_.size()) - 1;
  }
  void begin(int object) {
    offsets_[size_t(object)] = position_;
    write(QByteArray::number(object) + " 0 obj\n");
  }
  void write(const QByteArray& bytes) {
    for (qsizetype done = 0; ok() && done < bytes.size();) {
      const ssize_t n = ::write(fd_, bytes.constData() + done, size_t(bytes.size() - done));
      if (n >= 0) done += n;
      else if (errno != EINTR) error_ = errno;
    }
    position_ += bytes.size();
  }
  void stream(int object, const QByteArray& dictionary, const QByteArray& data) {
    begin(object);
    write("<< " + dictionary + " /Length " + QByteArray::number(data.size()) + " >>\nstream\n");
    write(data);
    write("\nendstream\nendobj\n");
  }
  void finish(int root) {
    const qint64 xref = position_;
    write("xref\n0 " + QByteArray::number(offsets_.size()) + "\n0000000000 65535 f \n");
    for (size_t i = 1; i < offsets_.size(); ++i)
      write(QByteArray::number(offsets_[i]).rightJustified(10, '0') + " 00000 n \n");
    write("trailer\n<< /Size " + QByteArray::number(offsets_.size()) + " /Root " + QByteArray::number(root) +
          " 0 R >>\nstartxref\n" + QByteArray::number(xref) + "\n%%EOF\n");
  }

 private:
  int fd_;
  qint64 position_ = 0;
  std::vector<qint64> offsets_{-1};  // object 0 is the free list's head
  int error_ = 0;
};

// The matrix that draws the image's unit square onto a page of w x h points, turned as the
// orientation says (the image's first row is its top).
QByteArray placement(int orientation, double w, double h) {
  const QByteArray W = number(w), H = number(h);
  switch (orientation) {
    case 2: return "-" + W + " 0 0 " + H + " " + W + " 0";
    case 3: return "-" + W + " 0 0 -" + H + " " + W + " " + H;
    case 4: return W + " 0 0 -" + H + " 0 " + H;
    case 5: return "0 -" + H + " -" + W + " 0 " + W + " " + H;
    case 6: return "0 -" + H + " " + W + " 0 0 " + H;
    case 7: return "0 " + H + " " + W + " 0 0 0";
    case 8: return "0 " + H + " -" + W + " 0 " + W + " 0";
    default: return W + " 0 0 " + H + " 0 0";
  }
}

}  // namespace

bool assemblePdf(const QStringList& pageFiles, const QString& pdfPath, QString* error, QString* unreadablePage,
                 const std::function<bool(int pagesDone)>& pageDone) {
  const auto fail = [&](const QString& why) {
    if (error) *error = why;
    return false;
  };
  const auto writeFailed = [&](const QString& why) {
    return fail(QStringLiteral("Cannot write the PDF %1: %2").arg(pdfPath, why));
  };

  // An earlier PDF must never stand in for this one, whatever happens below.
  if (::unlink(QFile::encodeName(pdfPath).constData()) != 0 && errno != ENOENT)
    return writeFailed(files::errnoText(errno));
  if (pageFiles.isEmpty()) return fail(QStringLiteral("There are no pages to put into the PDF"));

  const QFileInfo target(pdfPath);
  QTemporaryFile out(target.absolutePath() + "/." + target.fileName() + ".XXXXXX");
  if (!out.open()) return writeFailed(out.errorString());
  PdfWriter pdf(out.handle());
  pdf.write("%PDF-1.4\n%\xE2\xE3\xCF\xD3\n");
  const int catalog = pdf.newObject(), pageTree = pdf.newObject();
  QByteArray kids;
  int written = 0;

  for (const QString& path : pageFiles) {
    PageImage image;
    if (QString why = loadPage(path, &image); !why.isEmpty()) {
      if (unreadablePage) *unreadablePage = path;
      return fail(QStringLiteral("Cannot read the page %1: %2").arg(path, why));
    }
    const double w = image.width * 72.0 / image.meta.dpiX.value_or(kDefaultDpi);
    const double h = image.height * 72.0 / image.meta.dpiY.value_or(kDefaultDpi);
    const bool turned = image.meta.orientation >= 5;
    const double pageW = turned ? h : w, pageH = turned ? w : h;

    const int xobject = pdf.newObject(), content = pdf.newObject(), page = pdf.newObject();
    QByteArray dictionary = "/Type /XObject /Subtype /Image /Width " + QByteArray::number(image.width) +
                            " /Height " + QByteArray::number(image.height) + " " + image.dictionary;
    if (!image.alpha.isEmpty()) {
      const int mask = pdf.newObject();
      pdf.stream(mask,
                 "/Type /XObject /Subtype /Image /Width " + QByteArray::number(image.width) + " /Height " +
                     QByteArray::number(image.height) + " /ColorSpace /DeviceGray /BitsPerComponent " +
                     QByteArray::number(image.alphaBits) + " /Filter /FlateDecode",
                 image.alpha);
      dictionary += " /SMask " + QByteArray::number(mask) + " 0 R";
    }
    pdf.stream(xobject, dictionary, image.data);
    pdf.stream(content, {}, "q " + placement(image.meta.orientation, pageW, pageH) + " cm /Im0 Do Q");
    pdf.begin(page);
    pdf.write("<< /Type /Page /Parent " + QByteArray::number(pageTree) + " 0 R /MediaBox [0 0 " + number(pageW) +
              " " + number(pageH) + "] /Resources << /XObject << /Im0 " + QByteArray::number(xobject) +
              " 0 R >> >> /Contents " + QByteArray::number(content) + " 0 R >>\nendobj\n");
    kids += QByteArray::number(page) + " 0 R ";
    if (!pdf.ok()) return writeFailed(pdf.error());
    if (pageDone && !pageDone(++written)) return fail(QStringLiteral("cancelled"));
  }

  pdf.begin(catalog);
  pdf.write("<< /Type /Catalog /Pages " + QByteArray::number(pageTree) + " 0 R >>\nendobj\n");
  pdf.begin(pageTree);
  pdf.write("<< /Type /Pages /Kids [" + kids.trimmed() + "] /Count " + QByteArray::number(pageFiles.size()) +
            " >>\nendobj\n");
  pdf.finish(catalog);
  if (!pdf.ok()) return writeFailed(pdf.error());
  out.close();
  if (out.error() != QFileDevice::NoError) return writeFailed(out.errorString());
  QString why;
  if (!files::renameNoReplace(out.fileName(), pdfPath, &why)) return fail(why);
  out.setAutoRemove(false);
  return true;
}

}  // namespace zuvo::pdf
