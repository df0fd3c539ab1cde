#include "agent/qr_view.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include "core/pairing/qr_code.h"

namespace tallowick {

QRView::QRView(QWidget* parent) : QWidget(parent) {
  setCursor(Qt::PointingHandCursor);
  setToolTip(tr("Scan with the Tallowick app on your iPhone. Tap to enlarge."));
  setFixedSize(sizeHint());
}

QImage QRView::render(const std::string& payload, int side) {
  if (payload.empty()) return {};
  auto code = QRCode::encode(payload);
  if (!code) return {};
  // One light module around the symbol, with the white padding around the
  // image that is enough for phone cameras.
  const int modules = code->width() + 2;
  QImage symbol(modules, modules, QImage::Format_RGB32);
  symbol.fill(Qt::white);
  for (int y = 0; y < code->width(); ++y) {
    for (int x = 0; x < code->width(); ++x) {
      if (code->dark(x, y)) symbol.setPixel(x + 1, y + 1, qRgb(0, 0, 0));
    }
  }
  const int scale = (side + modules - 1) / modules;
  return symbol.scaled(modules * scale, modules * scale, Qt::KeepAspectRatio,
                       Qt::FastTransformation);
}

void QRView::setPayload(const std::string& payload) {
  if (payload == payload_ && !image_.isNull()) return;
  payload_ = payload;
  // Twice the largest side, so a high-density screen gets its own pixels.
  image_ = render(payload_, 2 * kBigSide);
  update();
}

void QRView::setBig(bool big) {
  if (big == big_) return;
  big_ = big;
  setFixedSize(sizeHint());
  updateGeometry();
  update();
  Q_EMIT bigChanged(big_);
}

QSize QRView::sizeHint() const {
  const int side = (big_ ? kBigSide : kSmallSide) + 2 * kPadding;
  return {side, side};
}

void QRView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing, true);
  QPainterPath card;
  card.addRoundedRect(QRectF(rect()), kRadius, kRadius);
  painter.fillPath(card, Qt::white);
  if (image_.isNull()) return;
  // Module edges stay sharp at any size.
  painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
  painter.setRenderHint(QPainter::Antialiasing, false);
  painter.drawImage(rect().adjusted(kPadding, kPadding, -kPadding, -kPadding), image_);
}

void QRView::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) setBig(!big_);
}

}  // namespace tallowick
