#pragma once

#include <QWidget>
#include <chrono>

class QGraphicsOpacityEffect;

namespace quillobrandt {

class AppState;

// The first screen of every launch: icon, name and tagline fade in, and a fixed time after the screen
// first appears AppState::dismissSplash() decides what comes next. Nothing shortens it.
class SplashScreenView final : public QWidget {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds handOverDelay{1500};
    static constexpr std::chrono::milliseconds fadeDuration{500};

    explicit SplashScreenView(AppState& appState, QWidget* parent = nullptr,
                              std::chrono::milliseconds handOver = handOverDelay);

    double opacity() const;

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void onAppear();
    void startFade();

    AppState& appState_;
    std::chrono::milliseconds handOver_;
    QGraphicsOpacityEffect* opacityEffect_ = nullptr;
    bool appeared_ = false;
    bool fadeStarted_ = false;
};

} // namespace quillobrandt
