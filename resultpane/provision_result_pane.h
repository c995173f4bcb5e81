// ProvisionResultPane: the installer pane that shows the outcome of the install and cleans
// the outcome files up when the user leaves it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "os/bundle.h"
#include "os/installer_pane.h"
#include "resultpane/provision_result.h"

namespace rcpinstall {

class ProvisionResultPane : public os::InstallerPane {
 public:
  static constexpr const char* KEY_TITLE = "Title";
  static constexpr int PARTIAL_RESULT = 2;

  // textView: the view of the pane's interface (may be null; the pane then shows nothing).
  // preferredLanguages choose the localization in place of the user's preferences when not
  // empty. bundle stands in for the plug-in's own bundle, which is otherwise found on first
  // use as the bundle that holds this code.
  explicit ProvisionResultPane(os::TextView* textView,
                               std::vector<std::string> preferredLanguages = {},
                               std::optional<os::Bundle> bundle = std::nullopt,
                               ProvisionSources sources = {});

  std::string title() override;
  // Fills the text view on the first entry only.
  void willEnterPane(os::Direction direction) override;
  // Deletes the result file and the leftover configuration, and resets the error channel.
  void didExitPane(os::Direction direction) override;

 private:
  // The plug-in's bundle; nullptr when the code is not inside one.
  const os::Bundle* ownBundle();
  // Puts the outcome message into the text view.
  void fill();

  os::TextView* textView;
  bool enter = false;
  std::optional<os::Bundle> bundle;
  std::vector<std::string> _preferredLanguages;
  ProvisionSources _sources;
};

}  // namespace rcpinstall
