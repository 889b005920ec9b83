// How large a page the scanner takes in, in one place for everything that reads pages.
#pragma once

#include <QtGlobal>

namespace zuvo::pages {

// A page decoded is held as 32-bit pixels. Qt's image reader refuses any image over 128 MB by
// default, which a colour A4 page at 600 dpi (4960 x 7016, 139 MB) already is; the limit here
// takes a colour A4 or Letter page at 1200 dpi (9920 x 14032, 557 MB). Beyond it a page is
// refused before any of it is decoded.
inline constexpr int kDecodedPageLimitMB = 600;
inline constexpr qint64 kDecodedPageLimitBytes = qint64(kDecodedPageLimitMB) << 20;

inline bool fitsDecoded(qint64 width, qint64 height) {
  return width > 0 && height > 0 && width * height * 4 <= kDecodedPageLimitBytes;
}

// A page file is read whole into memory. The largest page file a scan makes, an uncompressed
// 8-bit colour A4 page at 1200 dpi, is 418 MB; anything over 512 MiB is no page and is refused
// without reading it.
inline constexpr qint64 kPageFileLimitBytes = qint64(512) << 20;

}  // namespace zuvo::pages
