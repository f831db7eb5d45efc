// qoblShape: the library's shape type, a qobmShape (dimension count and six signed 64-bit extents) that
// only adds constructors.
#ifndef QOBL_SHAPE_H
#define QOBL_SHAPE_H

#include <qobm/qobm.h>

namespace zenlar {
namespace qobl {

struct qoblShape : public qobmShape {
  // All extents zero, no dimensions.
  qoblShape() : qobmShape{} {}
  // Copies ndims and all six extents.
  qoblShape(const qobmShape& shape) : qobmShape(shape) {}  // NOLINT(google-explicit-constructor)
  qoblShape(const qoblShape& shape) : qobmShape(shape) {}
  qoblShape& operator=(const qoblShape&) = default;
};

static_assert(sizeof(qoblShape) == sizeof(qobmShape), "qoblShape adds no data");

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_SHAPE_H
