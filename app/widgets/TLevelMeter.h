#pragma once
#include <QTimer>
#include <QWidget>

#include <functional>

// A small upright sound level meter. A GUI timer reads the level (in dB,
// -100 for silence) from a source that must not block, such as an atomic the
// mixer writes; the bar rises at once and falls back gently. -60 dB is the
// empty bar, 0 dB the full one, the top part warns of overload.
class TLevelMeter : public QWidget
{
    Q_OBJECT
public:
    using Source = std::function<float()>;

    static constexpr float kFloorDb = -60.f;
    static constexpr int kPeriodMs = 100;

    explicit TLevelMeter(QWidget *parent = nullptr);

    void setSource(Source source);
    // Shows a level now (also what the timer does with the source's value).
    void setLevel(float db);
    float level() const { return m_shownDb; }
    // The share of the bar that is lit, 0 to 1.
    double fill() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void poll();

    Source m_source;
    QTimer m_timer;
    float m_shownDb = -100.f;
};
