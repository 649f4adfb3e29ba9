#pragma once
// The run's progress bar: minimum 0, a maximum and a position kept clamped, a hint shown only
// once enabled, and a filled part painted as a smooth green gradient without block divisions.
#include <QFrame>
#include <QString>
#include <cstdint>

namespace app {

class TProgressBar : public QFrame {
  Q_OBJECT
 public:
  explicit TProgressBar(QWidget* parent = nullptr);

  std::int32_t Minimum() const { return 0; }
  std::int32_t Maximum() const { return FMax; }
  std::int32_t Position() const { return FPosition; }
  // A maximum below the minimum is raised to it; the position is lowered to the new maximum.
  void SetMaximum(std::int32_t max);
  // Clamped into [minimum, maximum].
  void SetPosition(std::int32_t position);

  QString Hint() const { return FHint; }
  bool ShowHint() const { return FShowHint; }
  void SetHint(const QString& hint);
  void SetShowHint(bool show);

  // Width in pixels of the filled part for an inner width of `innerWidth`.
  int FilledWidth(int innerWidth) const;

  QSize sizeHint() const override { return {634, 17}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void ApplyHint();

  std::int32_t FMax = 100;
  std::int32_t FPosition = 0;
  QString FHint;
  bool FShowHint = false;
};

}  // namespace app
