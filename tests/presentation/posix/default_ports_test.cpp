// The manager a front end constructs on Linux drives the process-wide
// simulated application.
#include <gtest/gtest.h>

#include "../recording_notify.h"
#include "presentation/simulated_office.h"

namespace {

TEST(DefaultPorts, ManagerDrivesTheProcessWideSimulation) {
  auto app = DefaultSimulatedApp();
  ASSERT_NE(app, nullptr);
  RecordingNotify notify;
  {
    CPowerPointMgr manager;
    notify.manager = &manager;
    manager.SetNotify(&notify);
    manager.QueryState();
    ASSERT_TRUE(notify.WaitFor([&] { return notify.states.size() == 1; }));
    EXPECT_EQ(notify.states[0], std::make_pair(false, false));

    app->OpenPresentation(CSimulatedOffice::SamplePresentation());
    manager.StartShow();
    ASSERT_TRUE(notify.WaitFor([&] { return notify.events.size() >= 3; }));
    EXPECT_TRUE(manager.IsShowRunning());
    EXPECT_TRUE(manager.HasNativeLaser());
    manager.LastSlide();
    ASSERT_TRUE(notify.WaitFor([&] { return notify.events.size() >= 4; }));
    EXPECT_EQ(app->Snapshot().currentSlide, 5);
    EXPECT_FALSE(manager.HasUserStartedWpp());  // no WPS on this machine
    notify.manager = nullptr;
  }
  app->ClosePresentation();
  EXPECT_FALSE(app->Snapshot().presentationOpen);
}

}  // namespace
