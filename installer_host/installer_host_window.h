// installer-pane-host --window: the pane in a GTK 3 window laid out like an installer's page,
// with a screenshot mode for scripts and tests.
#pragma once

#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/bundle.h"
#include "os/installer_pane.h"

namespace rcpinstall::installer_host {

// The size of an installer's pane area, in points.
inline constexpr int kPaneWidth = 620;
inline constexpr int kPaneHeight = 418;

struct WindowOptions {
  std::vector<std::string> languages;
  std::optional<std::string> screenshot;  // write a PNG once drawn, then press Continue
  bool scrollToEnd = false;               // scroll the text to its end before the screenshot
  int width = kPaneWidth;                 // the pane area the window opens with
  int height = kPaneHeight;
  std::string bundle;
};

// The options of the window mode (args as given to the host, "--window" among them), or none
// after a usage message on err.
std::optional<WindowOptions> parseWindowOptions(const std::vector<std::string>& args,
                                                std::ostream& err);

// A pane and the plug-in code that made it; the pane is deleted before the code is unloaded.
struct LoadedPane {
  os::LoadedCode code;
  std::unique_ptr<os::InstallerPane> pane;
};

// Loads the bundle's code and makes its pane with the text view, or none after a message on
// err (the terminal host's messages).
std::optional<LoadedPane> loadPane(const std::string& bundlePath,
                                   const std::vector<std::string>& languages, os::TextView* view,
                                   std::ostream& err);

// Runs the window mode: 0 when the window was shown (and left or closed), 1 when there is no
// display, the bundle makes no pane, the screenshot cannot be written or this build has no
// window mode, 2 on a usage error. With a screenshot, a line on out tells its size and how the
// text was laid out.
int runInstallerPaneWindow(const std::vector<std::string>& args, std::ostream& out,
                           std::ostream& err);

}  // namespace rcpinstall::installer_host
