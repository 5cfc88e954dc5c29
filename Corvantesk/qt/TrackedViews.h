#pragma once

// Widgets and helpers that report their own analytics, for code that wants events without the automatic
// tracker. They report through the SDK's shared client (nothing without one) and are used on the UI thread.
// The automatic tracker leaves the tracked button and toggle alone, so their clicks are counted once.

#include <functional>
#include <optional>
#include <string>

#include <QCheckBox>
#include <QObject>
#include <QPushButton>

#include "Corvantesk/core/AnyCodable.h"

namespace corvantesk {

// Reports a screen view each time `content` appears (is shown after being hidden). Owned by `content`.
class CorvanteskScreenTracker : public QObject {
    Q_OBJECT
public:
    CorvanteskScreenTracker(QWidget* content, std::string screenName, std::optional<std::string> screenLabel = {},
                            std::optional<AnyMap> properties = {});

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    const std::string screenName_;
    const std::optional<std::string> screenLabel_;
    const std::optional<AnyMap> properties_;
};

// A push button that reports each click, then runs its action.
class TrackedButton : public QPushButton {
    Q_OBJECT
public:
    TrackedButton(const QString& text, std::string trackId, std::optional<std::string> trackLabel = {},
                  std::optional<std::string> screen = {}, std::optional<AnyMap> properties = {},
                  std::function<void()> action = {}, QWidget* parent = nullptr);

private:
    const std::string trackId_;
    const std::optional<std::string> trackLabel_;
    const std::optional<std::string> screen_;
    const std::optional<AnyMap> properties_;
    const std::function<void()> action_;
};

// A check box that reports each change the user makes through it, with the property "enabled" holding the
// new value. Changes made by the program (setChecked) report nothing.
class TrackedToggle : public QCheckBox {
    Q_OBJECT
public:
    TrackedToggle(const QString& text, std::string trackId, std::optional<std::string> trackLabel = {},
                  std::optional<std::string> screen = {}, QWidget* parent = nullptr);

private:
    const std::string trackId_;
    const std::optional<std::string> trackLabel_;
    const std::optional<std::string> screen_;
};

// Each time `destination` appears: a navigation breadcrumb from `trackFrom` (when given) to `trackTo`, then a
// screen view of `trackTo`. Owned by `destination`.
class TrackedNavigationLink : public QObject {
    Q_OBJECT
public:
    TrackedNavigationLink(QWidget* destination, std::optional<std::string> trackFrom, std::string trackTo);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    const std::optional<std::string> trackFrom_;
    const std::string trackTo_;
};

} // namespace corvantesk
