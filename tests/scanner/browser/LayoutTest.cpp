// The four layouts on numbers alone.
#include "LayoutTestContext.h"
#include "scanner/ImageBrowser/Layouts/AAPLSlideLayout.h"
#include "scanner/ImageBrowser/Layouts/AAPLWrappedLayout.h"
#include "scanner/ImageBrowser/Layouts/Rand48.h"

#include <gtest/gtest.h>
#include <memory>

using zuvo::test::FakeCollectionView;

namespace {

constexpr double kTolerance = 1e-9;

void expectOrigin(const std::optional<LayoutAttributes>& attributes, double x, double y, int item) {
  ASSERT_TRUE(attributes.has_value()) << "item " << item;
  EXPECT_NEAR(attributes->frame.x(), x, kTolerance) << "item " << item;
  EXPECT_NEAR(attributes->frame.y(), y, kTolerance) << "item " << item;
  EXPECT_EQ(attributes->frame.size(), QSizeF(250, 250)) << "item " << item;
  EXPECT_EQ(attributes->zIndex, attributes->indexPath.item);
}

template <class Layout>
std::unique_ptr<Layout> prepared(const FakeCollectionView& view) {
  auto layout = std::make_unique<Layout>();
  layout->setCollectionView(&view);
  layout->prepareLayout();
  return layout;
}

}  // namespace

TEST(Rand48Test, StandardSequence) {
  zuvo::Rand48 random;
  // The generator's state after one step from 0x1234ABCD330E, over 2^48.
  const uint64_t first = (0x5DEECE66DULL * 0x1234ABCD330EULL + 0xB) & ((uint64_t(1) << 48) - 1);
  EXPECT_EQ(random.next(), double(first) / 281474976710656.0);
  EXPECT_EQ(random.state(), first);
  for (int i = 0; i < 1000; ++i) {
    const double value = random.next();
    ASSERT_GE(value, 0.0);
    ASSERT_LT(value, 1.0);
  }
}

TEST(SlideLayoutTest, BoxCircleAndLoopIn800x600) {
  FakeCollectionView view{{4}, QSizeF(800, 600)};
  auto circular = prepared<AAPLCircularLayout>(view);
  EXPECT_EQ(circular->collectionViewContentSize(), QSizeF(800, 600));
  EXPECT_EQ(circular->box(), QRectF(10, 10, 780, 580));
  EXPECT_EQ(circular->circleCenter(), QPointF(400, 300));
  EXPECT_NEAR(circular->circleRadius(), 113.2233047033631, kTolerance);
  struct Case { double x, y; };
  const Case circle[] = {{388.2233047033631, 175}, {275, 288.2233047033631}, {161.7766952966369, 175},
                         {275, 61.7766952966369}};
  for (int item = 0; item < 4; ++item) expectOrigin(circular->layoutAttributesForItemAtIndexPath({0, item}), circle[item].x, circle[item].y, item);

  auto loop = prepared<AAPLLoopLayout>(view);
  EXPECT_EQ(loop->loopCenter(), QPointF(400, 300));
  EXPECT_NEAR(loop->loopSize().width(), 213.2233047033631, kTolerance);
  EXPECT_NEAR(loop->loopSize().height(), 113.2233047033631, kTolerance);
  // Items 1 and 3 stand where the figure-eight crosses itself, on its centre.
  const Case figure[] = {{488.2233047033631, 175}, {275, 175}, {61.7766952966369, 175}, {275, 175}};
  for (int item = 0; item < 4; ++item) expectOrigin(loop->layoutAttributesForItemAtIndexPath({0, item}), figure[item].x, figure[item].y, item);

  view.items = {8};
  loop->prepareLayout();
  expectOrigin(loop->layoutAttributesForItemAtIndexPath({0, 1}), 425.7716446627535, 288.2233047033631, 1);
}

TEST(SlideLayoutTest, SmallAndEmptyViews) {
  // 300 x 300: the shorter side is under a slide's diagonal, the radius negative and the one
  // slide mirrored through the centre, to the left.
  FakeCollectionView view{{1}, QSizeF(300, 300)};
  auto circular = prepared<AAPLCircularLayout>(view);
  EXPECT_NEAR(circular->circleRadius(), 140 - 176.7766952966369, kTolerance);
  expectOrigin(circular->layoutAttributesForItemAtIndexPath({0, 0}), 150 - 36.7766952966369 - 125, 25, 0);
  auto loop = prepared<AAPLLoopLayout>(view);
  expectOrigin(loop->layoutAttributesForItemAtIndexPath({0, 0}), 150 - 36.7766952966369 - 125, 25, 0);

  // No enclosing view: zero content, box of negative size, still no crash.
  FakeCollectionView alone{{2}};
  auto lone = prepared<AAPLCircularLayout>(alone);
  EXPECT_EQ(lone->collectionViewContentSize(), QSizeF(0, 0));
  EXPECT_EQ(lone->box(), QRectF(10, 10, -20, -20));
  EXPECT_EQ(lone->layoutAttributesForElementsInRect({}).size(), 2);

  // Empty folder: nothing listed, and no item answers.
  FakeCollectionView empty{{0}, QSizeF(800, 600)};
  std::unique_ptr<AAPLSlideLayout> layouts[] = {prepared<AAPLCircularLayout>(empty), prepared<AAPLLoopLayout>(empty)};
  for (const auto& layout : layouts) {
    EXPECT_TRUE(layout->layoutAttributesForElementsInRect(QRectF(0, 0, 800, 600)).isEmpty());
    EXPECT_FALSE(layout->layoutAttributesForItemAtIndexPath({0, 0}).has_value());
  }
  EXPECT_TRUE(prepared<AAPLScatterLayout>(empty)->layoutAttributesForElementsInRect({}).isEmpty());
}

TEST(SlideLayoutTest, OnlySectionZeroIsPlacedInItemOrder) {
  FakeCollectionView view{{3, 5}, QSizeF(800, 600)};
  auto loop = prepared<AAPLLoopLayout>(view);
  const QList<LayoutAttributes> all = loop->layoutAttributesForElementsInRect(QRectF(-1e6, -1e6, 1, 1));
  ASSERT_EQ(all.size(), 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(all[i].indexPath, (IndexPath{0, i}));
    EXPECT_EQ(all[i].zIndex, i);
  }
  EXPECT_TRUE(loop->shouldInvalidateLayoutForBoundsChange(QSizeF(800, 600)));
}

// The generator is the process's: these numbers hold in a process of its own (ctest runs
// every case alone).
TEST(ScatterLayoutTest, SequenceFromAFreshProcessKeptAcrossResizeAndContinued) {
  ASSERT_EQ(zuvo::Rand48::shared().draws(), 0u) << "run this case in a process of its own";
  FakeCollectionView view{{4}, QSizeF(800, 600)};
  auto scatter = prepared<AAPLScatterLayout>(view);
  const QList<LayoutAttributes> first = scatter->layoutAttributesForElementsInRect({});
  ASSERT_EQ(first.size(), 4);
  const double expected[4][2] = {{220.12633009294592, 287.3601719057703},
                                 {197.26813153997907, 157.37253348285952},
                                 {178.90716932529673, 302.52138296360033},
                                 {18.258910186414248, 202.74977270469969}};
  for (int i = 0; i < 4; ++i) expectOrigin(first[i], expected[i][0], expected[i][1], i);

  // A resize moves none of them; a new index path is drawn in the new box.
  view.enclosing = QSizeF(2000, 1500);
  view.items = {5};
  scatter->prepareLayout();
  zuvo::Rand48 mirror;
  for (int i = 0; i < 8; ++i) mirror.next();
  const QList<LayoutAttributes> resized = scatter->layoutAttributesForElementsInRect({});
  ASSERT_EQ(resized.size(), 5);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(resized[i].frame, first[i].frame);
  const double x4 = 10 + mirror.next() * (1980 - 250), y4 = 10 + mirror.next() * (1480 - 250);
  expectOrigin(resized[4], x4, y4, 4);

  // A second layout starts with an empty cache and goes on with the same sequence.
  view.items = {1};
  auto second = prepared<AAPLScatterLayout>(view);
  const double x0 = 10 + mirror.next() * (1980 - 250), y0 = 10 + mirror.next() * (1480 - 250);
  expectOrigin(second->layoutAttributesForItemAtIndexPath({0, 0}), x0, y0, 0);
  expectOrigin(second->layoutAttributesForItemAtIndexPath({0, 0}), x0, y0, 0);
  EXPECT_EQ(zuvo::Rand48::shared().draws(), 12u);
}

TEST(WrappedLayoutTest, FiveItemsIn1280) {
  FakeCollectionView view{{5}, QSizeF(1280, 700)};
  auto wrapped = prepared<AAPLWrappedLayout>(view);
  EXPECT_EQ(wrapped->columnsForWidth(1280), 4);
  const double origins[5][2] = {{10, 10}, {270, 10}, {530, 10}, {790, 10}, {10, 270}};
  for (int i = 0; i < 5; ++i) expectOrigin(wrapped->layoutAttributesForItemAtIndexPath({0, i}), origins[i][0], origins[i][1], i);
  EXPECT_EQ(wrapped->collectionViewContentSize(), QSizeF(1280, 530));
  EXPECT_TRUE(wrapped->scrolls());
  // Only what meets the rectangle, the second row here.
  const QList<LayoutAttributes> lower = wrapped->layoutAttributesForElementsInRect(QRectF(0, 265, 1280, 10));
  ASSERT_EQ(lower.size(), 1);
  EXPECT_EQ(lower[0].indexPath, (IndexPath{0, 4}));
  EXPECT_FALSE(wrapped->shouldInvalidateLayoutForBoundsChange(QSizeF(1280, 300)));
  EXPECT_TRUE(wrapped->shouldInvalidateLayoutForBoundsChange(QSizeF(1000, 700)));
}

TEST(WrappedLayoutTest, GroupedSectionsWithHeadersAndFooters) {
  // One tag with two images, two untagged images.
  FakeCollectionView view{{2, 2}, QSizeF(1280, 700), QSizeF{10000, 39}, QSizeF{10000, 28}};
  auto wrapped = prepared<AAPLWrappedLayout>(view);
  const QList<LayoutAttributes> all = wrapped->layoutAttributesForElementsInRect(QRectF(0, 0, 1280, 1e6));
  ASSERT_EQ(all.size(), 8);
  EXPECT_EQ(all[0].kind, ElementKind::SectionHeader);
  EXPECT_EQ(all[0].frame, QRectF(0, 0, 1280, 39));
  EXPECT_EQ(all[1].frame.topLeft(), QPointF(10, 49));
  EXPECT_EQ(all[2].frame.topLeft(), QPointF(270, 49));
  EXPECT_EQ(all[3].kind, ElementKind::SectionFooter);
  EXPECT_EQ(all[3].frame, QRectF(0, 49 + 250 + 10, 1280, 28));
  EXPECT_EQ(all[4].frame, QRectF(0, 337, 1280, 39));
  EXPECT_EQ(all[5].frame.topLeft(), QPointF(10, 386));
  EXPECT_EQ(all[7].frame, QRectF(0, 646, 1280, 28));
  for (const LayoutAttributes& a : all) EXPECT_EQ(a.zIndex, a.kind == ElementKind::Item ? a.indexPath.item : 0);
  EXPECT_EQ(wrapped->collectionViewContentSize(), QSizeF(1280, 674));
}

TEST(WrappedLayoutTest, NarrowAndDegenerateWidths) {
  struct Case { double width; int columns; };
  for (const Case c : {Case{0, 1}, Case{100, 1}, Case{269, 1}, Case{270, 1}, Case{530, 2}, Case{529, 1}, Case{-50, 1}}) {
    FakeCollectionView view{{3}, QSizeF(c.width, 100)};
    auto wrapped = prepared<AAPLWrappedLayout>(view);
    EXPECT_EQ(wrapped->columnsForWidth(c.width), c.columns) << c.width;
    // One column of three: the content is at least one slide wide and scrolls sideways.
    if (c.columns == 1) {
      EXPECT_EQ(wrapped->collectionViewContentSize(), QSizeF(std::max(c.width, 270.0), 790)) << c.width;
      expectOrigin(wrapped->layoutAttributesForItemAtIndexPath({0, 2}), 10, 530, 2);
    }
  }
  FakeCollectionView none{{}};
  auto wrapped = prepared<AAPLWrappedLayout>(none);
  EXPECT_EQ(wrapped->collectionViewContentSize(), QSizeF(0, 0));
  EXPECT_FALSE(wrapped->layoutAttributesForItemAtIndexPath({0, 0}).has_value());
}
