// The installer plug-in interface: the pane base class, the text view a pane writes to, and
// the factory through which a host creates the pane of a plug-in bundle.
#pragma once

#include <string>
#include <vector>

namespace rcpinstall::os {

// The way the user moves between panes.
enum class Direction { Forward, Backward, Undefined };

// The system's standard user-interface font at its standard size.
struct Font {
  std::string name;
  double size = 0;
  bool operator==(const Font&) const = default;
};
inline Font systemFont() {
  return Font{"system-ui", 13.0};
}

// A multi-line text view of a pane's interface.
class TextView {
 public:
  virtual ~TextView() = default;
  virtual void setFont(const Font& font) = 0;
  virtual void setText(const std::string& text) = 0;
  virtual void setEditable(bool editable) = 0;
};

// A pane of the installer. The host calls the operations one at a time, on one thread:
// title whenever it shows the pane; willEnterPane and didEnterPane around showing it;
// shouldExitPane when the user asks to leave, and, when that answers true, willExitPane and
// didExitPane around leaving it. Every operation of the base does nothing.
class InstallerPane {
 public:
  virtual ~InstallerPane() = default;

  virtual std::string title() { return std::string(); }
  virtual void willEnterPane(Direction) {}
  virtual void didEnterPane(Direction) {}
  virtual bool shouldExitPane(Direction) { return true; }
  virtual void willExitPane(Direction) {}
  virtual void didExitPane(Direction) {}
};

// What the host gives the pane it creates: the text view of the pane's interface (owned by
// the host, alive as long as the pane) and the localizations the user asked the host for,
// in order of preference (empty: the user's language preferences decide).
struct InstallerPaneSetup {
  TextView* textView = nullptr;
  std::vector<std::string> preferredLanguages;
};

// A plug-in's factory: one C function exported by Contents/MacOS/<name>.so and named in the
// bundle's Info.plist under PANE_FACTORY_KEY. It answers a new pane, which the host deletes
// before it unloads the plug-in, or nullptr when it cannot make one.
using InstallerPaneFactory = InstallerPane* (*)(const InstallerPaneSetup* setup);
inline constexpr const char* PANE_FACTORY_KEY = "RCPPaneFactory";

}  // namespace rcpinstall::os
