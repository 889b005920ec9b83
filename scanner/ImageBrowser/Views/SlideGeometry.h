// The geometry and colours of the slide views as plain functions of their inputs, so the
// drawing code only paints what these give.
#pragma once

#include <QColor>
#include <QList>
#include <QPainterPath>
#include <QRectF>
#include <QSizeF>
#include <optional>

namespace zuvo::slides {

// The collection item's highlight states.
enum HighlightState { HighlightNone = 0, HighlightForSelection = 1, HighlightForDeselection = 2, HighlightAsDropTarget = 3 };

inline constexpr double kBorderInset = 8.0;
inline constexpr double kBorderWidth = 4.0;
inline constexpr double kBorderCornerRadius = 8.0;
inline constexpr double kShapeInset = 10.0;
inline constexpr double kShapeCornerRadius = 8.0;

// The platform's orange and red, and the selection blue.
QColor orangeColor();
QColor redColor();
QColor selectionBlue();

// First match wins: highlight for selection orange, as drop target red, selected and not
// being deselected blue; otherwise no border.
std::optional<QColor> borderColor(int highlightState, bool selected);
// The border view's frame in a carrier of these bounds.
QRectF borderFrame(const QRectF& carrierBounds);
// Where a slide takes clicks: its bounds inset by 10, corners rounded by 8.
QPainterPath slideShape(const QRectF& carrierBounds);
// A point in the carrier's own coordinates that the slide takes.
bool slideTakesPoint(const QRectF& carrierBounds, const QPointF& point);

// Background: an image of imageSize scaled to cover bounds, centred, its excess cut off by
// the bounds; none when the image has no area (the plain grey is drawn then).
std::optional<QRectF> aspectFillRect(const QRectF& bounds, const QSizeF& imageSize);
QColor backgroundGrey();

// Image view: the bands that a centred, proportionally scaled image leaves empty in a view
// of these bounds; none when the image or the view has no height, or the aspects are equal.
QList<QRectF> letterboxBands(const QSizeF& bounds, const QSizeF& imageSize);
QColor bandColor();
// Where the proportionally scaled image itself stands in the view.
QRectF aspectFitRect(const QRectF& bounds, const QSizeF& imageSize);

// Header: its fill, and two lines 1 high along its top and bottom edges.
QColor headerFill();
QColor headerLineColor();
QList<QRectF> headerLines(const QRectF& bounds);
QColor footerFill();

// The text cell's frame, centred vertically for content of this height, cut by the frame.
QRectF verticallyCenteredRect(const QRectF& frame, double contentHeight);

// The browser window's background.
QColor windowBackground();

}  // namespace zuvo::slides
