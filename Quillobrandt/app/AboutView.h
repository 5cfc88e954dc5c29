#pragma once

#include <QString>
#include <QWidget>
#include <optional>
#include <string>

class QPushButton;

namespace quillobrandt {

// "Version 1.0 (Build 1)": the two values joined as stored; "1.0" and "1" stand in for missing ones.
QString aboutVersionLine(const std::optional<std::string>& shortVersion, const std::optional<std::string>& build);

// The About window's content: icon, name, tagline, version, dedication and the web site.
class AboutView final : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* dedicationName = "Marguerite";

    explicit AboutView(QWidget* parent = nullptr);

    const QString& appVersion() const { return appVersion_; }
    const QString& buildNumber() const { return buildNumber_; }
    QPushButton* websiteButton() const { return websiteButton_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString appVersion_;
    QString buildNumber_;
    QPushButton* websiteButton_ = nullptr;
};

} // namespace quillobrandt
