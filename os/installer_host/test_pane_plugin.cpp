// A plug-in for the host's tests: a pane that records the calls it gets. Its language list
// carries its behaviour: "refuse-once" refuses the first request to leave.
#include <string>

#include "os/installer_pane.h"

namespace {

std::string calls;

const char* name(rcpinstall::os::Direction direction) {
  switch (direction) {
    case rcpinstall::os::Direction::Forward:
      return "forward";
    case rcpinstall::os::Direction::Backward:
      return "back";
    default:
      return "undefined";
  }
}

class RecordingPane : public rcpinstall::os::InstallerPane {
 public:
  RecordingPane(rcpinstall::os::TextView* view, bool refuseOnce)
      : view_(view), refuseOnce_(refuseOnce) {}

  std::string title() override { return "Test pane \x1B[31m"; }
  void willEnterPane(rcpinstall::os::Direction direction) override {
    record("willEnter", direction);
    ++entries_;
    view_->setText("Entered " + std::to_string(entries_) + " time(s).\nSecond line.");
  }
  void didEnterPane(rcpinstall::os::Direction direction) override { record("didEnter", direction); }
  bool shouldExitPane(rcpinstall::os::Direction direction) override {
    record("shouldExit", direction);
    if (!refuseOnce_) return true;
    refuseOnce_ = false;
    return false;
  }
  void willExitPane(rcpinstall::os::Direction direction) override { record("willExit", direction); }
  void didExitPane(rcpinstall::os::Direction direction) override { record("didExit", direction); }

 private:
  static void record(const char* call, rcpinstall::os::Direction direction) {
    calls += std::string(call) + "(" + name(direction) + ") ";
  }
  rcpinstall::os::TextView* view_;
  bool refuseOnce_;
  int entries_ = 0;
};

}  // namespace

extern "C" rcpinstall::os::InstallerPane* TestPaneCreate(
    const rcpinstall::os::InstallerPaneSetup* setup) {
  if (setup == nullptr || setup->textView == nullptr) return nullptr;
  const bool refuseOnce =
      !setup->preferredLanguages.empty() && setup->preferredLanguages.front() == "refuse-once";
  return new RecordingPane(setup->textView, refuseOnce);
}

// The calls recorded since the last question, cleared by asking.
extern "C" const char* TestPaneCalls() {
  static std::string answer;
  answer = calls;
  calls.clear();
  return answer.c_str();
}
