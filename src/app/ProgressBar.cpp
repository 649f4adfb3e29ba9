#include "app/ProgressBar.h"

#include <QLinearGradient>
#include <QPainter>
#include <algorithm>

namespace app {

TProgressBar::TProgressBar(QWidget* parent) : QFrame(parent) {
  setFrameStyle(QFrame::Panel | QFrame::Sunken);
  setLineWidth(1);
  setAutoFillBackground(true);
}

void TProgressBar::SetMaximum(std::int32_t max) {
  FMax = std::max(max, Minimum());
  if (FPosition > FMax) FPosition = FMax;
  update();
}

void TProgressBar::SetPosition(std::int32_t position) {
  FPosition = std::clamp(position, Minimum(), FMax);
  update();
}

void TProgressBar::SetHint(const QString& hint) {
  FHint = hint;
  ApplyHint();
}

void TProgressBar::SetShowHint(bool show) {
  FShowHint = show;
  ApplyHint();
}

void TProgressBar::ApplyHint() { setToolTip(FShowHint ? FHint : QString()); }

int TProgressBar::FilledWidth(int innerWidth) const {
  const std::int64_t range = static_cast<std::int64_t>(FMax) - Minimum();
  if (range < 1 || innerWidth <= 0) return 0;
  return static_cast<int>(static_cast<std::int64_t>(innerWidth) * (FPosition - Minimum()) / range);
}

void TProgressBar::paintEvent(QPaintEvent* event) {
  QFrame::paintEvent(event);
  const QRect inner = contentsRect();
  const int filled = FilledWidth(inner.width());
  if (filled <= 0) return;
  QPainter painter(this);
  const QRect part(inner.left(), inner.top(), filled, inner.height());
  QLinearGradient gradient(part.topLeft(), part.topRight());
  gradient.setColorAt(0.0, QColor(0, 128, 0));
  gradient.setColorAt(1.0, QColor(192, 220, 192));
  painter.fillRect(part, gradient);
}

}  // namespace app
