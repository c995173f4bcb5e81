#include "installer_host/installer_host.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>

#include "foundation/program_info.h"
#include "installer_host/installer_host_window.h"
#include "os/bundle.h"
#include "os/file_system.h"
#include "os/installer_pane.h"
#include "os/utf8.h"

namespace rcpinstall::installer_host {

// The host is built on the plug-in interface and the bundle services of os/.
using namespace os;

namespace {

constexpr const char* kProgram = "installer-pane-host";
constexpr const char* kUsage =
    "usage: installer-pane-host [--non-interactive] [--language <code>] <plug-in bundle>\n"
    "       installer-pane-host --window [--language <code>] [--screenshot <file.png>] <bundle>\n";
constexpr const char* kHelp =
    R"(usage: installer-pane-host [--non-interactive] [--language <code>] <plug-in bundle>
       installer-pane-host --window [--language <code>] [--screenshot <file.png>]
                           [--scroll-to-end] [--size <width>x<height>] <plug-in bundle>
       installer-pane-host --help | --version

Stands in for the installer application: loads the plug-in bundle
(Contents/MacOS/<name>.so), shows its pane's title and text and, on Continue, leaves the
pane as the installer would. In a terminal it waits for Continue, Back or Quit.

  --non-interactive   show the pane and leave it forward at once (for scripts)
  --language <code>   the language of the localized texts (en, de, fr, ja); default:
                      the user's preferences, else en
  --window            show the pane in a window with "Go Back" and "Continue" (needs a
                      display); closing the window leaves the pane untouched
  --screenshot <png>  with --window: once drawn, write a picture of the window, then
                      press Continue
  --scroll-to-end     with --screenshot: scroll the text to its end first
  --size <w>x<h>      with --window: the pane area's size in points (default 620x418)

Exit status: 0 the pane was shown (and left, or the installer quit), 1 the bundle or its
plug-in could not be loaded, the pane could not be left, or no display for --window,
2 a usage error.

Manual: man 7 outcomepane; guides in share/doc/orrery-hotfix.
)";
constexpr int kMinimumWidth = 24;

// ---- UTF-8 ----------------------------------------------------------------------------------

// The code point at text[i], advancing i; a byte that does not begin a well-formed sequence
// is taken alone and answers the replacement character.
char32_t nextCodePoint(std::string_view text, size_t& i) {
  const Utf8Character c = decodeUtf8Character(text.substr(i));
  if (c.length == 0) {
    ++i;
    return kReplacementCharacter;
  }
  i += c.length;
  return c.codePoint;
}

bool inRanges(char32_t c, std::initializer_list<std::pair<char32_t, char32_t>> ranges) {
  for (const auto& [first, last] : ranges) {
    if (c >= first && c <= last) return true;
  }
  return false;
}

int codePointWidth(char32_t c) {
  if (inRanges(c, {{0x0300, 0x036F},
                   {0x0483, 0x0489},
                   {0x0591, 0x05BD},
                   {0x1AB0, 0x1AFF},
                   {0x1DC0, 0x1DFF},
                   {0x200B, 0x200F},
                   {0x20D0, 0x20FF},
                   {0x3099, 0x309A},
                   {0xFE00, 0xFE0F},
                   {0xFE20, 0xFE2F}})) {
    return 0;
  }
  if (inRanges(c, {{0x1100, 0x115F},
                   {0x2E80, 0x303E},
                   {0x3041, 0x33FF},
                   {0x3400, 0x4DBF},
                   {0x4E00, 0x9FFF},
                   {0xA000, 0xA4CF},
                   {0xAC00, 0xD7A3},
                   {0xF900, 0xFAFF},
                   {0xFE30, 0xFE4F},
                   {0xFF00, 0xFF60},
                   {0xFFE0, 0xFFE6},
                   {0x1F300, 0x1F64F},
                   {0x1F900, 0x1F9FF},
                   {0x20000, 0x3FFFD}})) {
    return 2;
  }
  return 1;
}

bool isControl(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

// Punctuation that must not begin a line of East Asian text.
bool isClosingPunctuation(char32_t c) {
  return inRanges(c, {{0x3001, 0x3002},
                      {0x300D, 0x300D},
                      {0x300F, 0x300F},
                      {0xFF01, 0xFF01},
                      {0xFF09, 0xFF09},
                      {0xFF0C, 0xFF0C},
                      {0xFF0E, 0xFF0E},
                      {0xFF1A, 0xFF1B},
                      {0xFF1F, 0xFF1F}});
}

// ---- Wrapping -------------------------------------------------------------------------------

// A line of text is cut into runs of spaces, words, and single wide characters, so that a
// line may break at a space or on either side of a wide character.
struct Piece {
  enum class Kind { Space, Word, Wide };
  Kind kind;
  std::string text;
  int width = 0;
};

std::vector<Piece> piecesOf(std::string_view line) {
  std::vector<Piece> pieces;
  size_t i = 0;
  while (i < line.size()) {
    const size_t start = i;
    const char32_t c = nextCodePoint(line, i);
    const std::string_view text = line.substr(start, i - start);
    const int width = codePointWidth(c);
    Piece::Kind kind = c == U' '    ? Piece::Kind::Space
                       : width == 2 ? Piece::Kind::Wide
                                    : Piece::Kind::Word;
    bool joins = false;
    if (!pieces.empty()) {
      const Piece::Kind last = pieces.back().kind;
      if (kind == Piece::Kind::Space) {
        joins = last == Piece::Kind::Space;
      } else if (width == 0 || (kind == Piece::Kind::Wide && isClosingPunctuation(c))) {
        joins = last != Piece::Kind::Space;  // marks and closing punctuation stay attached
      } else {
        joins = kind == Piece::Kind::Word && last == Piece::Kind::Word;
      }
    }
    if (joins) {
      pieces.back().text += text;
      pieces.back().width += width;
    } else {
      pieces.push_back(Piece{kind, std::string(text), width});
    }
  }
  return pieces;
}

class LineFiller {
 public:
  LineFiller(int width, std::vector<std::string>& lines) : width_(width), lines_(lines) {}

  void add(const Piece& piece, bool paragraphStart) {
    if (piece.kind == Piece::Kind::Space && !paragraphStart) {
      if (!line_.empty()) pendingSpace_ = piece;
      return;
    }
    const int spaceWidth = pendingSpace_ ? pendingSpace_->width : 0;
    if (lineWidth_ + spaceWidth + piece.width <= width_) {
      if (pendingSpace_) line_ += pendingSpace_->text;
      line_ += piece.text;
      lineWidth_ += spaceWidth + piece.width;
      pendingSpace_.reset();
      return;
    }
    pendingSpace_.reset();
    if (!line_.empty()) finishLine();
    if (piece.width <= width_) {
      line_ = piece.text;
      lineWidth_ = piece.width;
      return;
    }
    cut(piece.text);
  }

  void finishParagraph() {
    finishLine();
    pendingSpace_.reset();
  }

 private:
  // A piece wider than a line: as many characters as fit on each line, at least one.
  void cut(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
      const size_t start = i;
      const int width = codePointWidth(nextCodePoint(text, i));
      if (lineWidth_ > 0 && lineWidth_ + width > width_) finishLine();
      line_ += text.substr(start, i - start);
      lineWidth_ += width;
    }
  }

  void finishLine() {
    lines_.push_back(std::move(line_));
    line_.clear();
    lineWidth_ = 0;
  }

  int width_;
  std::vector<std::string>& lines_;
  std::string line_;
  int lineWidth_ = 0;
  std::optional<Piece> pendingSpace_;
};

std::string padded(std::string_view text, int width) {
  std::string out(text);
  out.append(static_cast<size_t>(std::max(0, width - displayWidth(text))), ' ');
  return out;
}

std::string repeated(std::string_view unit, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += unit;
  return out;
}

// ---- The host -------------------------------------------------------------------------------

// The text view of the pane's interface: what the pane puts into it is what the host shows.
class TerminalTextView : public TextView {
 public:
  void setFont(const Font& font) override { font_ = font; }
  void setText(const std::string& text) override { text_ = text; }
  void setEditable(bool editable) override { editable_ = editable; }

  const std::string& text() const { return text_; }

 private:
  Font font_ = systemFont();
  std::string text_;
  bool editable_ = true;
};

struct Options {
  bool interactive = true;
  std::vector<std::string> languages;
  std::string bundle;
};

// The options, or none after a usage message.
std::optional<Options> parseOptions(const std::vector<std::string>& args, std::ostream& err) {
  Options options;
  bool haveBundle = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--non-interactive") {
      options.interactive = false;
    } else if (arg == "--language" || arg.starts_with("--language=")) {
      std::string value;
      if (arg == "--language") {
        if (i + 1 == args.size()) {
          err << kProgram << ": --language needs a language code (such as en, de, fr, ja)\n"
              << kUsage;
          return std::nullopt;
        }
        value = args[++i];
      } else {
        value = arg.substr(std::string_view("--language=").size());
      }
      if (value.empty()) {
        err << kProgram << ": --language needs a language code (such as en, de, fr, ja)\n"
            << kUsage;
        return std::nullopt;
      }
      options.languages = {value};
    } else if (arg == "-h" || arg == "--help") {
      err << kUsage;
      return std::nullopt;
    } else if (arg.starts_with("-") && arg != "-") {
      err << kProgram << ": unknown option " << arg << "\n" << kUsage;
      return std::nullopt;
    } else if (haveBundle) {
      err << kProgram << ": only one plug-in bundle can be shown\n" << kUsage;
      return std::nullopt;
    } else {
      options.bundle = arg;
      haveBundle = true;
    }
  }
  if (!haveBundle) {
    err << kUsage;
    return std::nullopt;
  }
  return options;
}

void showPane(InstallerPane& pane, const TerminalTextView& view, Console& console) {
  const std::string title = printable(pane.title());
  const std::string text = printable(view.text());
  if (console.terminal) {
    console.out << framedPane(title, text, std::max(console.width, kMinimumWidth));
  } else {
    console.out << title << "\n\n" << text << "\n";
  }
  console.out.flush();
}

// Leaves the pane in the direction when it lets the user go; false when it does not.
bool leavePane(InstallerPane& pane, Direction direction) {
  if (!pane.shouldExitPane(direction)) return false;
  pane.willExitPane(direction);
  pane.didExitPane(direction);
  return true;
}

void enterPane(InstallerPane& pane, const TerminalTextView& view, Direction direction,
               Console& console) {
  pane.willEnterPane(direction);
  showPane(pane, view, console);
  pane.didEnterPane(direction);
}

int runPane(InstallerPane& pane, const TerminalTextView& view, const Options& options,
            Console& console) {
  enterPane(pane, view, Direction::Forward, console);
  if (!options.interactive) {
    if (leavePane(pane, Direction::Forward)) return 0;
    console.err << kProgram << ": the pane does not let the user continue\n";
    return 1;
  }
  while (true) {
    console.out << "[Enter] Continue   [b] Go Back   [q] Quit: ";
    console.out.flush();
    std::string answer;
    if (!std::getline(console.in, answer) || answer == "q" || answer == "Q") {
      console.out << "\n";
      return 0;  // the installer was quit on this pane: the pane is not left
    }
    if (answer.empty()) {
      if (leavePane(pane, Direction::Forward)) return 0;
      console.out << "This pane cannot be left yet.\n";
    } else if (answer == "b" || answer == "B") {
      // Going back leaves the pane; coming forward from the pane before enters it again.
      if (leavePane(pane, Direction::Backward)) {
        enterPane(pane, view, Direction::Forward, console);
      } else {
        console.out << "This pane cannot be left yet.\n";
      }
    } else {
      console.out << "Press Enter to continue, b to go back or q to quit.\n";
    }
  }
}

}  // namespace

int displayWidth(std::string_view text) {
  int width = 0;
  size_t i = 0;
  while (i < text.size()) width += codePointWidth(nextCodePoint(text, i));
  return width;
}

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const char32_t c = nextCodePoint(text, i);
    if (c == U'\n') {
      out += '\n';
    } else if (c == U'\t') {
      out += ' ';
    } else {
      appendUtf8(isControl(c) ? kReplacementCharacter : c, out);
    }
  }
  return out;
}

std::vector<std::string> wrapText(std::string_view text, int width) {
  width = std::max(width, 1);
  std::vector<std::string> lines;
  LineFiller filler(width, lines);
  size_t start = 0;
  while (true) {
    const size_t end = text.find('\n', start);
    const std::string_view line =
        text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    bool paragraphStart = true;
    for (const Piece& piece : piecesOf(line)) {
      filler.add(piece, paragraphStart && piece.kind == Piece::Kind::Space);
      paragraphStart = false;
    }
    filler.finishParagraph();
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return lines;
}

std::string framedPane(std::string_view title, std::string_view text, int width) {
  const int inner = std::max(width, 5) - 4;  // a border and a space on either side
  const std::string rule = repeated("\u2500", inner + 2);
  std::string out = "\u256D" + rule + "\u256E\n";
  for (const std::string& line : wrapText(title, inner)) {
    out += "\u2502 " + padded(line, inner) + " \u2502\n";
  }
  out += "\u251C" + rule + "\u2524\n";
  for (const std::string& line : wrapText(text, inner)) {
    out += "\u2502 " + padded(line, inner) + " \u2502\n";
  }
  out += "\u2570" + rule + "\u256F\n";
  return out;
}

int runInstallerPaneHost(const std::vector<std::string>& args, Console& console) {
  if (std::find(args.begin(), args.end(), "--window") != args.end()) {
    return runInstallerPaneWindow(args, console.out, console.err);
  }
  const std::optional<Options> options = parseOptions(args, console.err);
  if (!options) return 2;

  if (!FileSystem::isDirectory(options->bundle)) {
    console.err << kProgram << ": " << options->bundle << ": no such plug-in bundle\n";
    return 1;
  }
  const Bundle bundle(options->bundle, options->languages);
  std::string factoryName;
  if (const std::optional<PlistValue> info = bundle.infoDictionary()) {
    const PlistValue* name = info->find(PANE_FACTORY_KEY);
    if (name != nullptr && name->asString() != nullptr) factoryName = *name->asString();
  }
  if (factoryName.empty()) {
    console.err << kProgram << ": " << options->bundle << ": the bundle names no pane factory (key "
                << PANE_FACTORY_KEY << " of Contents/Info.plist)\n";
    return 1;
  }

  const std::string executable = bundle.executablePath();
  std::string reason;
  std::optional<LoadedCode> code = LoadedCode::load(executable, &reason);
  if (!code) {
    console.err << kProgram << ": cannot load the plug-in " << executable << ": " << reason << "\n";
    return 1;
  }
  void* symbol = code->symbol(factoryName);
  if (symbol == nullptr) {
    console.err << kProgram << ": the plug-in " << executable << " has no pane factory "
                << factoryName << "\n";
    return 1;
  }
  const auto factory = reinterpret_cast<InstallerPaneFactory>(symbol);

  TerminalTextView view;
  const InstallerPaneSetup setup{&view, options->languages};
  // The pane is made by the plug-in's code, so it is deleted before that code is unloaded.
  std::unique_ptr<InstallerPane> pane(factory(&setup));
  if (!pane) {
    console.err << kProgram << ": the pane factory " << factoryName << " made no pane\n";
    return 1;
  }
  const int status = runPane(*pane, view, *options, console);
  pane.reset();
  return status;
}

int InstallerPaneHostMain(int argc, char** argv) {
  if (const std::optional<int> status = answerHelpOrVersion(argc, argv, kProgram, kHelp)) {
    return *status;
  }
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  Console console{std::cin, std::cout, std::cerr};
  console.terminal = ::isatty(STDOUT_FILENO) == 1;
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
    console.width = size.ws_col;
  } else if (const char* columns = std::getenv("COLUMNS")) {
    const int value = std::atoi(columns);
    if (value > 0) console.width = value;
  }
  return runInstallerPaneHost(args, console);
}

}  // namespace rcpinstall::installer_host
