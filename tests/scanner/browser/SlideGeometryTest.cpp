// Geometry and colours of the slide views, by tables.
#include "scanner/ImageBrowser/Views/SlideGeometry.h"

#include <gtest/gtest.h>

namespace s = zuvo::slides;

TEST(SlideGeometryTest, BorderColourForEachHighlightAndSelection) {
  struct Case { int highlight; bool selected; std::optional<QColor> colour; };
  const Case cases[] = {
      {0, false, std::nullopt},      {0, true, s::selectionBlue()},
      {1, false, s::orangeColor()},  {1, true, s::orangeColor()},
      {2, false, std::nullopt},      {2, true, std::nullopt},
      {3, false, s::redColor()},     {3, true, s::redColor()},
      {7, true, s::selectionBlue()}, {-1, false, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(s::borderColor(c.highlight, c.selected), c.colour) << c.highlight << " " << c.selected;
  EXPECT_EQ(s::selectionBlue(), QColor::fromRgbF(0, 0.5f, 1, 1));
  EXPECT_EQ(s::borderFrame(QRectF(0, 0, 250, 250)), QRectF(8, 8, 234, 234));
}

TEST(SlideGeometryTest, ShapeTakesNoClicksInTheMarginOrCorners) {
  const QRectF bounds(0, 0, 250, 250);
  struct Case { QPointF point; bool taken; };
  const Case cases[] = {
      {{125, 125}, true},   {{11, 125}, true},    {{239, 125}, true},  {{125, 239}, true},
      {{5, 125}, false},    {{125, 5}, false},    {{245, 125}, false}, {{125, 245}, false},
      {{9.5, 125}, false},  {{11, 11}, false},    {{238.5, 238.5}, false},  // corners outside the radius
      {{13, 13}, true},     {{-1, 125}, false},   {{251, 125}, false},
  };
  for (const Case& c : cases) EXPECT_EQ(s::slideTakesPoint(bounds, c.point), c.taken) << c.point.x() << "," << c.point.y();
}

TEST(SlideGeometryTest, BackgroundAspectFill) {
  struct Case { QRectF bounds; QSizeF image; std::optional<QRectF> target; };
  const Case cases[] = {
      // Twice as wide as the view's aspect: scaled to the height, centred, sides cut off.
      {{0, 0, 800, 600}, {1600, 600}, QRectF(-400, 0, 1600, 600)},
      // Taller than the view: scaled to the width, centred vertically.
      {{0, 0, 800, 600}, {400, 600}, QRectF(0, -300, 800, 1200)},
      {{10, 20, 800, 600}, {800, 600}, QRectF(10, 20, 800, 600)},
      // A file deleted after it was set: no area, the plain grey.
      {{0, 0, 800, 600}, {0, 0}, std::nullopt},
      {{0, 0, 800, 600}, {100, 0}, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(s::aspectFillRect(c.bounds, c.image), c.target);
  EXPECT_EQ(s::backgroundGrey(), QColor::fromRgbF(0.96f, 0.96f, 0.96f, 1));
}

TEST(SlideGeometryTest, ImageViewBands) {
  struct Case { QSizeF view; QSizeF image; QList<QRectF> bands; };
  const Case cases[] = {
      {{200, 200}, {400, 300}, {QRectF(0, 0, 200, 25), QRectF(0, 175, 200, 25)}},
      {{200, 200}, {300, 400}, {QRectF(0, 0, 25, 200), QRectF(175, 0, 25, 200)}},
      {{200, 100}, {400, 200}, {}},
      {{200, 200}, {400, 0}, {}},
      {{200, 0}, {400, 300}, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(s::letterboxBands(c.view, c.image), c.bands);
  EXPECT_EQ(s::aspectFitRect(QRectF(0, 0, 200, 200), QSizeF(400, 300)), QRectF(0, 25, 200, 150));
  EXPECT_EQ(s::bandColor(), QColor::fromRgbF(0, 0, 0, 0.2f));
}

TEST(SlideGeometryTest, HeaderLinesAndCentredText) {
  EXPECT_EQ(s::headerLines(QRectF(0, 0, 1280, 39)), (QList<QRectF>{QRectF(0, 0, 1280, 1), QRectF(0, 38, 1280, 1)}));
  EXPECT_EQ(s::headerFill(), QColor::fromRgbF(0.95f, 0.95f, 0.95f, 0.8f));
  EXPECT_EQ(s::headerLineColor(), QColor::fromRgbF(0.75f, 0.75f, 0.75f, 0.8f));
  EXPECT_EQ(s::footerFill(), QColor::fromRgbF(0.85f, 0.85f, 0.85f, 0.8f));
  struct Case { QRectF frame; double content; QRectF rect; };
  const Case cases[] = {
      {{0, 0, 300, 39}, 17, QRectF(0, 11, 300, 17)},
      {{5, 10, 100, 20}, 20, QRectF(5, 10, 100, 20)},
      {{0, 0, 100, 10}, 30, QRectF(0, 0, 100, 10)},  // taller content: cut by the frame
  };
  for (const Case& c : cases) EXPECT_EQ(s::verticallyCenteredRect(c.frame, c.content), c.rect);
}
