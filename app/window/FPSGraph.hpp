#pragma once

#include <vector>

#include <QRectF>

class QPainter;

namespace corvane {

// The card's frame-rate graph: the last 30 values (oldest first), the newest on the right edge, a dashed
// target line, and from two values on the area under the curve and the curve, coloured by the newest value.
namespace FPSGraph {

void paint(QPainter& painter, const QRectF& rect, const std::vector<int>& values, int target);

}  // namespace FPSGraph

}  // namespace corvane
