// installer-pane-host: loads an installer plug-in bundle and runs its pane in a terminal, in
// place of the installer application.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace rcpinstall::installer_host {

// The program's entry routine.
int InstallerPaneHostMain(int argc, char** argv);

// How the host talks to its user.
struct Console {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
  bool terminal = false;  // out is a terminal: the pane is drawn in a box of `width` columns
  int width = 80;
};

// Runs the host with its arguments (without the program name):
//   [--non-interactive] [--language <code>] <plug-in bundle>
// or, with --window among them, the window mode of installer_host_window.h.
// Answers the exit status: 0 when the pane was shown (and left or quit), 1 when the bundle
// cannot be loaded or makes no pane, 2 on a usage error.
int runInstallerPaneHost(const std::vector<std::string>& args, Console& console);

// Columns a UTF-8 text takes on a terminal (wide East Asian characters take two, combining
// marks none; a byte that is not UTF-8 one).
int displayWidth(std::string_view text);

// The text with every control character but the line feed (and anything that is not UTF-8)
// replaced by U+FFFD, so that no text a pane shows can drive the terminal; tabs become spaces.
std::string printable(std::string_view text);

// Lines of at most `width` columns: each line of the text is filled word by word, a word
// longer than a line is cut, and wide characters may be broken between (but not before closing
// punctuation). An empty line of the text stays an empty line.
std::vector<std::string> wrapText(std::string_view text, int width);

// The title and the text in a frame `width` columns wide, each line ending with "\n".
std::string framedPane(std::string_view title, std::string_view text, int width);

}  // namespace rcpinstall::installer_host
