#pragma once

#include <memory>

#include "platform/qt/FakeContactStore.h"
#include "platform/qt/RecordingAlertPresenter.h"
#include "platform/qt/RecordingDesktopServices.h"
#include "platform/qt/RecordingPanelPresenter.h"
#include "platform/qt/RecordingSecurityScope.h"

namespace platform {

// Test helper: installs recording fakes for every desktop service and a Full Disk Access gate
// (none unless given) for its lifetime, then restores the defaults. One at a time.
class FakePlatform {
public:
    explicit FakePlatform(bool fullDiskAccessGate = false);
    ~FakePlatform();
    FakePlatform(const FakePlatform&) = delete;
    FakePlatform& operator=(const FakePlatform&) = delete;

    std::shared_ptr<RecordingAlertPresenter> alerts = std::make_shared<RecordingAlertPresenter>();
    std::shared_ptr<RecordingPanelPresenter> panels = std::make_shared<RecordingPanelPresenter>();
    std::shared_ptr<RecordingDesktopServices> desktop = std::make_shared<RecordingDesktopServices>();
    std::shared_ptr<RecordingSecurityScope> securityScope = std::make_shared<RecordingSecurityScope>();
    std::shared_ptr<FakeContactStore> contacts = std::make_shared<FakeContactStore>();
};

} // namespace platform
