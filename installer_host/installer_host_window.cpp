#include "installer_host/installer_host_window.h"

#include <charconv>
#include <ostream>

#include "os/file_system.h"

namespace rcpinstall::installer_host {

// The host is built on the plug-in interface and the bundle services of os/.
using namespace os;

namespace {

constexpr const char* kProgram = "installer-pane-host";
constexpr const char* kUsage =
    "usage: installer-pane-host --window [--language <code>] [--screenshot <file.png>]\n"
    "           [--scroll-to-end] [--size <width>x<height>] <plug-in bundle>\n";

// "<width>x<height>" in points, each from 100 to 4000.
bool parseSize(const std::string& text, int& width, int& height) {
  const size_t x = text.find('x');
  if (x == std::string::npos) return false;
  auto number = [](std::string_view digits, int& value) {
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    return error == std::errc() && end == digits.data() + digits.size() && value >= 100 &&
           value <= 4000;
  };
  const std::string_view all(text);
  return number(all.substr(0, x), width) && number(all.substr(x + 1), height);
}

}  // namespace

std::optional<WindowOptions> parseWindowOptions(const std::vector<std::string>& args,
                                                std::ostream& err) {
  WindowOptions options;
  bool haveBundle = false;
  auto usage = [&](const std::string& problem) {
    if (!problem.empty()) err << kProgram << ": " << problem << "\n";
    err << kUsage;
    return std::nullopt;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::string name = arg;
    std::optional<std::string> value;
    if (arg.starts_with("--") && arg.find('=') != std::string::npos) {
      name = arg.substr(0, arg.find('='));
      value = arg.substr(arg.find('=') + 1);
    }
    const bool takesValue = name == "--language" || name == "--screenshot" || name == "--size";
    if (takesValue && !value) {
      if (i + 1 == args.size()) return usage(name + " needs a value");
      value = args[++i];
    }
    if (takesValue && value->empty()) return usage(name + " needs a value");
    if (value && !takesValue) return usage(name + " takes no value");
    if (name == "--window") {
    } else if (name == "--language") {
      options.languages = {*value};
    } else if (name == "--screenshot") {
      options.screenshot = *value;
    } else if (name == "--size") {
      if (!parseSize(*value, options.width, options.height)) {
        return usage("--size needs <width>x<height> in points, each from 100 to 4000");
      }
    } else if (name == "--scroll-to-end") {
      options.scrollToEnd = true;
    } else if (name == "--non-interactive") {
      return usage("--non-interactive is for the terminal; --screenshot makes a window leave");
    } else if (name == "-h" || name == "--help") {
      return usage("");
    } else if (arg.starts_with("-") && arg != "-") {
      return usage("unknown option " + arg);
    } else if (haveBundle) {
      return usage("only one plug-in bundle can be shown");
    } else {
      options.bundle = arg;
      haveBundle = true;
    }
  }
  if (!haveBundle) return usage("");
  if (options.scrollToEnd && !options.screenshot) {
    return usage("--scroll-to-end goes with --screenshot");
  }
  return options;
}

std::optional<LoadedPane> loadPane(const std::string& bundlePath,
                                   const std::vector<std::string>& languages, TextView* view,
                                   std::ostream& err) {
  if (!FileSystem::isDirectory(bundlePath)) {
    err << kProgram << ": " << bundlePath << ": no such plug-in bundle\n";
    return std::nullopt;
  }
  const Bundle bundle(bundlePath, languages);
  std::string factoryName;
  if (const std::optional<PlistValue> info = bundle.infoDictionary()) {
    const PlistValue* name = info->find(PANE_FACTORY_KEY);
    if (name != nullptr && name->asString() != nullptr) factoryName = *name->asString();
  }
  if (factoryName.empty()) {
    err << kProgram << ": " << bundlePath << ": the bundle names no pane factory (key "
        << PANE_FACTORY_KEY << " of Contents/Info.plist)\n";
    return std::nullopt;
  }
  const std::string executable = bundle.executablePath();
  std::string reason;
  std::optional<LoadedCode> code = LoadedCode::load(executable, &reason);
  if (!code) {
    err << kProgram << ": cannot load the plug-in " << executable << ": " << reason << "\n";
    return std::nullopt;
  }
  void* symbol = code->symbol(factoryName);
  if (symbol == nullptr) {
    err << kProgram << ": the plug-in " << executable << " has no pane factory " << factoryName
        << "\n";
    return std::nullopt;
  }
  const InstallerPaneSetup setup{view, languages};
  std::unique_ptr<InstallerPane> pane(reinterpret_cast<InstallerPaneFactory>(symbol)(&setup));
  if (!pane) {
    err << kProgram << ": the pane factory " << factoryName << " made no pane\n";
    return std::nullopt;
  }
  return LoadedPane{std::move(*code), std::move(pane)};
}

}  // namespace rcpinstall::installer_host
