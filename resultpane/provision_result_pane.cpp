#include "resultpane/provision_result_pane.h"

#include <utility>

#include "foundation/install_util.h"

namespace rcpinstall {

namespace {

// An object of this code, by which the bundle holding the code is found.
const char kCodeAnchor = 0;

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
  const os::Bundle* own = ownBundle();
  if (own == nullptr) return KEY_TITLE;
  return own->localizedString(KEY_TITLE, EMPTY_STRING, TABLE);
}

void ProvisionResultPane::willEnterPane(os::Direction) {
  if (enter) return;
  enter = true;

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
  {
    ProvisionResult reader(ownBundle(), _sources);
    reader.removeProvisionRC();
    reader.removeConfigurationFile();
  }
  InstallUtil::initInternalPasteboard(true, _sources.pasteboardDirectory);
}

}  // namespace rcpinstall
