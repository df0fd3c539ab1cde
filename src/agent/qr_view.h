#pragma once
// The pairing QR code as the popover shows it: the symbol of the payload at
// level M, each module a sharp square (never smoothed), on white with 8
// points of padding in a rounded rectangle, 180 points on a side or 280
// when enlarged; a click toggles the size.

#include <QImage>
#include <QWidget>

#include <string>

namespace tallowick {

class QRView : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kSmallSide = 180;
  static constexpr int kBigSide = 280;
  static constexpr int kPadding = 8;
  static constexpr int kRadius = 10;

  explicit QRView(QWidget* parent = nullptr);

  // Redraws for `payload`; an empty or unencodable payload leaves the area
  // white.
  void setPayload(const std::string& payload);
  bool big() const { return big_; }
  void setBig(bool big);

  // The symbol, one module per pixel and a one-module light margin, scaled
  // (nearest neighbour) to at least `side` pixels; null for an empty or
  // too long payload.
  static QImage render(const std::string& payload, int side);

  QSize sizeHint() const override;

 Q_SIGNALS:
  void bigChanged(bool big);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  std::string payload_;
  QImage image_;
  bool big_ = false;
};

}  // namespace tallowick
