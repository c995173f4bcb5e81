#include "resultpane/provision_result_pane.h"

#include <exception>
#include <utility>

#include "foundation/install_util.h"
#include "os/system_log.h"

namespace rcpinstall {

namespace {

// An object of this code, by which the bundle holding the code is found.
const char kCodeAnchor = 0;

// The Installer calls the pane's operations; nothing may be thrown back into it. A failure
// nobody foresaw leaves the pane as it is and the system log says why.
template <typename Operation>
void guarded(const char* what, Operation operation) {
  try {
    operation();
  } catch (const std::exception& error) {
    os::SystemLog::log(os::SystemLog::kError, "The result pane could not %s: %s", what,
                       error.what());
  } catch (...) {
    os::SystemLog::log(os::SystemLog::kError, "The result pane could not %s.", what);
  }
}

}  // namespace

ProvisionResultPane::ProvisionResultPane(os::TextView* textView,
                                         std::vector<std::string> preferredLanguages,
                                         std::optional<os::Bundle> bundle, ProvisionSources sources)
    : textView(textView),
      bundle(std::move(bundle)),
      _preferredLanguages(std::move(preferredLanguages)),
      _sources(std::move(sources)) {}

const os::Bundle* ProvisionResultPane::ownBundle() {
  if (!bundle) bundle = os::Bundle::bundleContaining(&kCodeAnchor, _preferredLanguages);
  return bundle ? &*bundle : nullptr;
}

std::string ProvisionResultPane::title() {
  std::string text = KEY_TITLE;
  guarded("find its title", [&] {
    if (const os::Bundle* own = ownBundle()) {
      text = own->localizedString(KEY_TITLE, EMPTY_STRING, TABLE);
    }
  });
  return text;
}

void ProvisionResultPane::willEnterPane(os::Direction) {
  if (enter) return;
  enter = true;
  guarded("show the outcome", [this] { fill(); });
}

void ProvisionResultPane::fill() {
  ProvisionResult result(ownBundle(), _sources);
  std::string message = result.getResultString();
  // The status line is added on partial results even when an error code chose the message.
  if (result.getResultCode() == PARTIAL_RESULT) {
    const std::string status = result.getFinalStatusMessage();
    if (!status.empty()) message += "\n\n" + status;
  }

  if (textView == nullptr) return;
  textView->setFont(os::systemFont());
  textView->setText(message);
  textView->setEditable(false);
}

void ProvisionResultPane::didExitPane(os::Direction) {
  guarded("remove the outcome files", [this] {
    ProvisionResult reader(ownBundle(), _sources);
    reader.removeProvisionRC();
    reader.removeConfigurationFile();
  });
  guarded("reset the error channel",
          [this] { InstallUtil::initInternalPasteboard(true, _sources.pasteboardDirectory); });
}

}  // namespace rcpinstall
