#pragma once

#include "overlay/OverlayGradients.h"
#include "overlay/OverlayType.h"

#include <QElapsedTimer>
#include <QImage>
#include <QWidget>
#include <functional>

class QAbstractAnimation;

namespace quorvel {

// How long the view's animations take, in milliseconds.
struct OverlayViewTimings {
    int entranceDelayMs = 200;
    int entranceDurationMs = 600;
    int gradientSwingMs = 3000; // one way; the same back
};

// What one overlay shows on one screen: the kind's gradient at 0.85 opacity, swinging
// slowly back and forth, and in the middle a column with the icon, the title, the
// subtitle and the hint. The column enters 0.2 s after the view appears, fading in while
// growing from 80 % to full size. A press anywhere in the view calls `onDismiss`.
class OverlayView : public QWidget {
    Q_OBJECT
    Q_PROPERTY(double contentProgress READ contentProgress WRITE setContentProgress)
    Q_PROPERTY(double gradientProgress READ gradientProgress WRITE setGradientProgress)
    Q_PROPERTY(double fadeOpacity READ fadeOpacity WRITE setFadeOpacity)

public:
    using Timings = OverlayViewTimings;

    // Sizes in logical pixels.
    static constexpr double backgroundOpacity = 0.85;
    static constexpr int iconSize = 96; // an 80 pt glyph with its ascent and descent
    static constexpr int titleSize = 48;
    static constexpr int subtitleSize = 22;
    static constexpr int hintSize = 14;
    static constexpr int spacing = 24;
    static constexpr int hintExtraSpace = 40;
    static constexpr double subtitleOpacity = 0.85;
    static constexpr double hintOpacity = 0.5;
    // Behind the texts, so that they read on the brightest gradients and desktops: a gently
    // darker band under the column's texts, and a soft dark shadow under each letter.
    static constexpr double bandOpacity = 0.3;
    static constexpr double shadowOpacity = 0.8;
    static constexpr int bandMargin = 48; // the band's reach beyond the column
    // The gradient moves slowly: about 30 frames a second look the same as 60 and cost half.
    static constexpr int gradientFrameMs = 33;

    // The hint under the texts, the same for every kind.
    static QString dismissHint();

    // The first rounded font family this system has, or "" when it has none.
    static QString roundedFontFamily();

    OverlayView(OverlayType type, std::function<void()> onDismiss, Timings timings = {},
                QWidget* parent = nullptr);
    ~OverlayView() override;

    OverlayType type() const { return m_type; }
    // False until the view has appeared, true from then on.
    bool contentVisible() const { return m_contentVisible; }

    // 0 = the column hidden at 80 %, 1 = fully shown. Driven by the entrance animation.
    double contentProgress() const { return m_contentProgress; }
    void setContentProgress(double progress);
    // 0 = axis top-left→bottom-right, 1 = top-right→bottom-left.
    double gradientProgress() const { return m_gradientProgress; }
    void setGradientProgress(double progress);

    // The opacity everything is painted with, for fades where windows have no opacity of
    // their own. 1 = as designed.
    double fadeOpacity() const { return m_fadeOpacity; }
    void setFadeOpacity(double opacity);

    // Where the column (icon to hint) sits at full size, in widget coordinates.
    QRect contentRect() const;

    // Where the title, subtitle and hint stand at full size, in widget coordinates.
    QList<QRect> textRects() const;
    // Off: everything but the three texts is drawn, so what stands behind them shows (to
    // measure their contrast).
    void setDrawsTexts(bool draws);

    // What screen readers hear after the title: the subtitle and the hint (with Escape
    // besides the click).
    QString accessibleText() const;
    // Whether the view announces itself to screen readers when it appears (a notification)
    // or is only a window with the overlay's title: one view per overlay announces it.
    bool announces() const { return m_announces; }
    void setAnnounces(bool announces);
    // Said by screen readers with the announcement and not shown: what this overlay is for
    // when the kind alone does not tell (a calibration's prompt). Set before control returns
    // to the event loop after the view appears, since screen readers ask for it then.
    void setSpokenNote(const QString& note) { m_spokenNote = note; }
    // Tells screen readers that the overlay is going, as it fades: a notification inside the
    // announcing view, "<title> dismissed", spoken once and shown in braille. A dismissal by
    // Escape is otherwise silent, the overlay never having had the focus.
    void confirmDismissal();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    struct Layout;
    Layout layout() const;
    QString dismissalText() const;
    void renderContent();
    void drawTextBackdrop(QImage& content, const Layout& l, const QImage& icon) const;

    OverlayType m_type;
    std::function<void()> m_onDismiss;
    Timings m_timings;
    AnimatedGradient m_gradient;
    bool m_contentVisible = false;
    bool m_announces = true;
    QString m_spokenNote;
    QWidget* m_dismissal = nullptr; // the confirmation, once dismissed
    bool m_drawsTexts = true;
    double m_contentProgress = 0.0;
    double m_gradientProgress = 0.0;
    double m_fadeOpacity = 1.0;
    QImage m_content; // the column, drawn once per size
    QElapsedTimer m_sincePaint;
    QAbstractAnimation* m_swing = nullptr;
};

} // namespace quorvel
