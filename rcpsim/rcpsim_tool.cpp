// The rcpsim command: lays out sample products and hotfix packages.
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "foundation/install_paths.h"
#include "foundation/program_info.h"
#include "os/path.h"
#include "rcpsim/sample_layout.h"

namespace rcpinstall::rcpsim {

namespace {

const std::set<std::string> kProductParts = {"info-plist",
                                             "ignitor",
                                             "ignitor-properties",
                                             "rcp-data",
                                             "manifest-version",
                                             "install-manifest",
                                             "base-plugin",
                                             "features",
                                             "install-info",
                                             "uninstall-manifest",
                                             "shared",
                                             "plugin-customization",
                                             "keystore"};
const std::set<std::string> kHotfixParts = {
    "settings", "install-manifest", "uninstall-manifest", "plugin-customization",
    "keystore", "extras",           "update-site"};

int usageError(const std::string& message) {
  std::cerr << "rcpsim: " << message << "\n(rcpsim --help explains the commands)\n";
  return 2;
}

// Walks "--option value" pairs and flags.
class Options {
 public:
  Options(int argc, char** argv, int from) : args_(argv + from, argv + argc) {}
  bool next(std::string& option) {
    if (index_ >= args_.size()) return false;
    option = args_[index_++];
    return true;
  }
  bool value(std::string& out) {
    if (index_ >= args_.size()) return false;
    out = args_[index_++];
    return true;
  }

 private:
  std::vector<std::string> args_;
  size_t index_ = 0;
};

bool takePart(const std::set<std::string>& parts, const std::string& part,
              std::set<std::string>& without, std::string& problem) {
  if (parts.count(part) == 0) {
    problem = "unknown part for --without: " + part;
    return false;
  }
  without.insert(part);
  return true;
}

// The directory to lay out in, absolute: the launcher's properties and the packages' settings
// carry paths made from it, and a relative one would lead every later run that starts
// elsewhere to a place below its own working directory.
std::string absoluteDirectory(const std::string& dir) {
  return os::absolutePath(dir).value_or(dir);
}

// The directory: the first word that is neither an option nor an option's value.
bool takeDirectory(const std::string& word, std::optional<std::string>& dir) {
  if (dir || word.empty() || word.starts_with("-")) return false;
  dir = absoluteDirectory(word);
  return true;
}

int productCommand(Options& options) {
  ProductOptions product;
  product.ignitor = InstallPaths::helperProgram("ignitor");
  std::optional<std::string> dir;
  std::string option;
  std::string value;
  std::string problem;
  while (options.next(option)) {
    if (takeDirectory(option, dir)) continue;
    std::string* target = nullptr;
    if (option == "--name") target = &product.name;
    if (option == "--framework-path") target = &product.frameworkPath;
    if (option == "--app-version") target = &product.appVersion;
    if (option == "--version") target = &product.version;
    if (option == "--base-version") target = &product.baseVersion;
    if (option == "--manifest-version") target = &product.manifestVersion;
    if (option == "--ignitor") target = &product.ignitor;
    if (target != nullptr || option == "--hotfix-version" || option == "--rcp-data" ||
        option == "--without") {
      if (!options.value(value)) return usageError(option + " needs a value");
    }
    if (target != nullptr) {
      *target = value;
    } else if (option == "--hotfix-version") {
      product.hotfixVersion = value;
    } else if (option == "--rcp-data") {
      product.rcpData = value;
    } else if (option == "--without") {
      if (!takePart(kProductParts, value, product.without, problem)) return usageError(problem);
    } else {
      return usageError("unknown option for product: " + option);
    }
  }
  if (!dir) return usageError("product needs a directory");
  ProductLayout layout;
  std::string error;
  if (!layOutProduct(*dir, product, layout, error)) {
    std::cerr << "rcpsim: " << error << "\n";
    return 1;
  }
  std::cout << "bundle: " << layout.bundle << "\nplatform home: " << layout.platformHome
            << "\nrcp home: " << layout.rcphome << "\n";
  return 0;
}

int hotfixCommand(Options& options) {
  HotfixOptions hotfix;
  FeatureList features;
  std::optional<std::string> dir;
  std::string option;
  std::string value;
  std::string problem;
  while (options.next(option)) {
    if (takeDirectory(option, dir)) continue;
    if (option == "--allow-multi-instance") {
      hotfix.allowMultiInstance = true;
      continue;
    }
    if (option == "--no-url") {
      hotfix.urls = false;
      continue;
    }
    if (!options.value(value)) {
      if (option.starts_with("--")) return usageError(option + " needs a value or is unknown");
      return usageError("unexpected argument: " + option);
    }
    if (option == "--name") {
      hotfix.name = value;
    } else if (option == "--framework-path") {
      hotfix.frameworkPath = value;
    } else if (option == "--version") {
      hotfix.version = value;
    } else if (option == "--feature") {
      const size_t colon = value.find(':');
      if (colon == std::string::npos || colon == 0 || colon + 1 == value.size()) {
        return usageError("--feature wants ID:VERSION, not " + value);
      }
      features.emplace_back(value.substr(0, colon), value.substr(colon + 1));
    } else if (option == "--unfetchable") {
      hotfix.unfetchable.insert(value);
    } else if (option == "--without") {
      if (!takePart(kHotfixParts, value, hotfix.without, problem)) return usageError(problem);
    } else {
      return usageError("unknown option for hotfix: " + option);
    }
  }
  if (!features.empty()) hotfix.features = features;
  if (!dir) return usageError("hotfix needs a directory");
  HotfixLayout layout;
  std::string error;
  if (!layOutHotfix(*dir, hotfix, layout, error)) {
    std::cerr << "rcpsim: " << error << "\n";
    return 1;
  }
  std::cout << "package: " << layout.package << "\ndeploy: " << layout.deploy
            << "\nupdate site: " << layout.updateSite << "\n";
  return 0;
}

}  // namespace

std::string rcpsimUsage() {
  return R"(rcpsim: lays out a sample product or hotfix package for the simulated platform.

  rcpsim product <dir> [options]
    Writes <dir>/<name>.app (<dir> made absolute, the options before or after it): Contents/Info.plist, and the rcp home <framework path>/rcp with
    the launcher ignitor, ignitor.properties (rcp.data, the manifest version and keys),
    deploy/install.xml (install features com.zantec.rcp.platform and com.zantec.orrery with
    their features), eclipse/features (a file per feature), eclipse/plugins/
    com.zantec.rcp.base_<base version>/plugin_customization.ini, plugin_customization.ini,
    deploy/.keystore, installInfo.plist, and the platform home's shared directory.
      --name NAME               product name (default Orrery)
      --framework-path PATH     directory of rcp inside the bundle (default Contents/MacOS)
      --app-version V           CFBundleShortVersionString (default 6.2.1)
      --version V               "version" of installInfo.plist and the product's features
                                (default 6.2.1)
      --base-version V          base plug-in version (default 6.2.0.20090101-0100)
      --hotfix-version V        a hotfix already installed: "hotfixVersion", its install
                                feature com.zantec.orrery.hotfix in install.xml, its feature
                                files, and deploy/uninstall.hotfix.xml
      --rcp-data TEXT           rcp.data as written, ${rcp.home} and ${env.HOME} allowed
                                (default <platform home>/workspace, an absolute path)
      --manifest-version V      provisioning.manifest.version (default 0101260000)
      --ignitor PATH            launcher to copy (default: ignitor beside rcpsim, else
                                ../libexec/orrery-hotfix/ignitor from it)
      --without PART            leave a part out, repeatable: info-plist, ignitor,
                                ignitor-properties, rcp-data, manifest-version,
                                install-manifest, base-plugin, features, install-info,
                                uninstall-manifest, shared, plugin-customization, keystore

  rcpsim hotfix <dir> [options]
    Writes <dir>/Hotfix.mpkg (<dir> made absolute, the options before or after it). The install package is Contents/Packages/hotfix.pkg with
    Contents/Resources/hotfix.plist (bundleName, frameworkPath, allowMultiInstance, version);
    beside it Contents/Packages/deploy holds install.hotfix.xml (feature locations
    ${installer.root}/../../updates/platform/features/<id>_<version>.jar),
    uninstall.hotfix.xml, plugin_customization.ini, .keystore and extras/; the update site is
    Contents/updates/platform (features/ and site.xml).
      --name NAME               bundleName (default Orrery)
      --framework-path PATH     frameworkPath (default Contents/MacOS)
      --version V               hotfix version (default 1.0.2)
      --allow-multi-instance    allowMultiInstance true (default false)
      --feature ID:VERSION      a feature of the hotfix, repeatable (default three features
                                at the hotfix version)
      --unfetchable ID          leave that feature's file out of the update site
      --no-url                  features carry no location; the launcher finds them through
                                the update site
      --without PART            leave a part out, repeatable: settings, install-manifest,
                                uninstall-manifest, plugin-customization, keystore, extras,
                                update-site

The launcher ignitor (a copy in every sample product's rcp home) takes only the command
lines of the install and removal workflows; any other ends with status 2 and no result.
Every run appends its argument vector to <rcp home>/ignitor.calls, one argument a line, an
empty line after each run. "update" applies deploy/install.update.xml to deploy/install.xml,
copies the feature files into eclipse/features, appends to <rcp.data>/logs/provisioning.log
and writes .provisioning_rc in the platform home: rc=0 all applied, rc=2 some features could
not be fetched, rc=1 no usable manifest. "cleanup" removes deploy/install.update.xml, rc=0.

A properties file <rcp home>/ignitor.fault makes runs end as a test asks:
      rc=TEXT        write exactly this rc value (non-numeric text too)
      result=none    write no result file
      crash=true     abort before the result is written
      sleep=SECONDS  wait this long before ending
      garbage=true   write bytes that are no properties file as the result
      fds=true       append the open descriptors beyond 0-2 to <rcp home>/ignitor.fds
      apply=none     change nothing and end with rc=1 (rc=1 alone: applied, then failed)
      run=N          the faults hold for the Nth run in <rcp home>/ignitor.calls only

  rcpsim --version prints the version.

Exit status: 0 the layout was written, 1 it could not be written (the reason is printed),
2 a usage error. Guides in share/doc/orrery-hotfix.
)";
}

int RcpsimMain(int argc, char** argv) {
  if (const std::optional<int> status = answerHelpOrVersion(argc, argv, "rcpsim", rcpsimUsage())) {
    return *status;
  }
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "--help" || command == "-h" || command == "help") {
    std::cout << rcpsimUsage();
    return 0;
  }
  if (command != "product" && command != "hotfix") {
    return usageError(command.empty() ? "a command is needed" : "unknown command: " + command);
  }
  Options options(argc, argv, 2);
  return command == "product" ? productCommand(options) : hotfixCommand(options);
}

}  // namespace rcpinstall::rcpsim
