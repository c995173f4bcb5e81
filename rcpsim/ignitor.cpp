// The simulated platform launcher: a small provisioning engine over the instance's manifests.
#include "rcpsim/ignitor.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <pugixml.hpp>
#include <sstream>
#include <system_error>

#include "foundation/java_properties.h"
#include "foundation/program_info.h"
#include "foundation/string_util.h"
#include "os/atomic_file.h"
#include "os/file_system.h"
#include "os/path.h"
#include "os/process_list.h"

namespace rcpinstall::rcpsim {

namespace fs = os::FileSystem;
using os::appendComponent;

namespace {

const std::vector<std::string> kUpdateHead = {
    "-ignitorWait", "-provManifest", "-noSplash", "-provisioningOperation", "update", "-nl"};
const std::vector<std::string> kCleanup = {
    "-provManifest", "-ignitorWait",           "-noSplash", "-product",
    "NULL",          "-provisioningOperation", "cleanup"};
constexpr std::string_view kSiteOption = "-DprovUpdateSiteListOverride=";

bool startsWithRange(const std::vector<std::string>& args, const std::vector<std::string>& head) {
  return args.size() >= head.size() && std::equal(head.begin(), head.end(), args.begin());
}

bool isLocale(const std::string& text) {
  return !text.empty() && text.front() != '-';
}

// The install manifest levels down to the "install" element; an empty node when one lacks.
pugi::xml_node installElement(const pugi::xml_document& document) {
  return document.document_element().child("domain-object").child("object-data").child("install");
}

bool isInstallAction(const pugi::xml_node& node) {
  const pugi::xml_attribute action = node.attribute("action");
  return !action || std::string_view(action.value()) == "install";
}

bool isUninstallAction(const pugi::xml_node& node) {
  return std::string_view(node.attribute("action").value()) == "uninstall";
}

std::string describe(const pugi::xml_node& feature) {
  return std::string(feature.attribute("id").value()) + " " + feature.attribute("version").value();
}

// A feature's file names in eclipse/features: <id>_<version>[.jar], or any <id>_* when the
// manifest gives no version.
bool isFeatureFileOf(const std::string& name, const std::string& id, const std::string& version) {
  if (version.empty()) return name.starts_with(id + "_");
  return name == id + "_" + version || name == id + "_" + version + ".jar";
}

void removeFeatureFiles(const std::string& featuresDir, const pugi::xml_node& feature) {
  const std::string id = feature.attribute("id").value();
  const std::string version = feature.attribute("version").value();
  if (id.empty()) return;
  for (const std::string& name :
       fs::listDirectory(featuresDir).value_or(std::vector<std::string>{})) {
    if (isFeatureFileOf(name, id, version)) fs::removeItem(appendComponent(featuresDir, name));
  }
}

// The feature's file: its "url" when that is a file: location that exists, else
// features/<id>_<version>.jar (or without .jar) or <id>_<version>.jar in the update site.
std::optional<std::string> locateFeatureFile(const pugi::xml_node& feature,
                                             const std::optional<std::string>& updateSite) {
  if (const pugi::xml_attribute url = feature.attribute("url")) {
    const std::optional<std::string> path = pathOfFileLocation(url.value());
    if (path && fs::exists(*path)) return path;
  }
  if (!updateSite) return std::nullopt;
  const std::string base =
      std::string(feature.attribute("id").value()) + "_" + feature.attribute("version").value();
  for (const std::string& candidate :
       {appendComponent(appendComponent(*updateSite, "features"), base + ".jar"),
        appendComponent(appendComponent(*updateSite, "features"), base),
        appendComponent(*updateSite, base + ".jar")}) {
    if (fs::exists(candidate)) return candidate;
  }
  return std::nullopt;
}

bool fetchFeature(const pugi::xml_node& feature, const std::optional<std::string>& updateSite,
                  const std::string& featuresDir) {
  const std::optional<std::string> file = locateFeatureFile(feature, updateSite);
  if (!file) return false;
  const std::string destination = appendComponent(featuresDir, os::lastComponent(*file));
  if (fs::entryExists(destination)) fs::removeItem(destination);
  return fs::copyItem(*file, destination);
}

// Takes out of `requirements` every feature with the id (and the version, when one is given).
void removeFeatureEntries(pugi::xml_node requirements, const pugi::xml_node& feature) {
  const std::string id = feature.attribute("id").value();
  const std::string version = feature.attribute("version").value();
  std::vector<pugi::xml_node> gone;
  for (pugi::xml_node existing : requirements.children("feature")) {
    if (id == existing.attribute("id").value() &&
        (version.empty() || version == existing.attribute("version").value())) {
      gone.push_back(existing);
    }
  }
  for (pugi::xml_node node : gone) requirements.remove_child(node);
}

pugi::xml_node findInstallFeature(pugi::xml_node install, const std::string& id) {
  for (pugi::xml_node node : install.children("installfeature")) {
    if (id == node.attribute("id").value()) return node;
  }
  return {};
}

// A copy of the update's element without its "action" takes the place of the features of the
// same id (at the first one's position), or goes at the end. The files of replaced versions go.
void putFeature(pugi::xml_node requirements, const pugi::xml_node& feature,
                const std::string& featuresDir) {
  const std::string id = feature.attribute("id").value();
  std::vector<pugi::xml_node> same;
  for (pugi::xml_node node : requirements.children("feature")) {
    if (id == node.attribute("id").value()) same.push_back(node);
  }
  pugi::xml_node copy = same.empty() ? requirements.append_copy(feature)
                                     : requirements.insert_copy_before(feature, same.front());
  copy.remove_attribute("action");
  for (pugi::xml_node node : same) {
    const std::string_view oldVersion = node.attribute("version").value();
    if (!oldVersion.empty() && oldVersion != feature.attribute("version").value()) {
      removeFeatureFiles(featuresDir, node);
    }
    requirements.remove_child(node);
  }
}

std::string sanitized(std::string text) {
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == ';' || c == '\n' || c == '\r'; }, ' ');
  return text;
}

std::string counted(size_t n, const char* what) {
  return std::to_string(n) + (n == 1 ? " feature " : " features ") + what;
}

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : ", ") + item;
  return out;
}

std::string timestamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::string rcphomeOf(const char* argv0) {
  std::string program = argv0 != nullptr ? argv0 : "";
  if (program.find('/') == std::string::npos) program = os::ownExecutablePath().value_or("");
  return os::deletingLastComponent(program);
}

// Appends one line per descriptor this process holds beyond 0, 1 and 2 ("<fd> <target>"),
// then an empty line, so that a test sees what its caller let through to the launcher.
void appendDescriptors(const std::string& rcphome) {
  std::vector<std::string> lines;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    const int own = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name == "." || name == ".." || name == "0" || name == "1" || name == "2" ||
          name == std::to_string(own)) {
        continue;
      }
      std::error_code error;
      const std::string target =
          std::filesystem::read_symlink("/proc/self/fd/" + name, error).string();
      lines.push_back(name + " " + target);
    }
    ::closedir(dir);
  }
  std::sort(lines.begin(), lines.end());
  std::ofstream out(appendComponent(rcphome, IGNITOR_FDS), std::ios::app | std::ios::binary);
  for (const std::string& line : lines) out << line << '\n';
  out << '\n';
}

void appendCall(const std::string& rcphome, int argc, char** argv) {
  std::ofstream calls(appendComponent(rcphome, IGNITOR_CALLS), std::ios::app | std::ios::binary);
  for (int i = 0; i < argc; ++i) calls << argv[i] << '\n';
  calls << '\n';
}

// rcp.data of the launcher properties with ${rcp.home} and ${env.HOME} expanded.
std::optional<std::string> dataDirectory(const JavaProperties& properties,
                                         const std::string& platformHome) {
  std::optional<std::string> data = properties.getPropertyForKey("rcp.data");
  if (!data || data->empty()) return std::nullopt;
  std::string expanded =
      StringUtil::stringByReplacingOccurrencesOfString(*data, "${rcp.home}", platformHome);
  const char* home = std::getenv("HOME");
  expanded = StringUtil::stringByReplacingOccurrencesOfString(expanded, "${env.HOME}",
                                                              home != nullptr ? home : "");
  return expanded;
}

void appendLog(const std::string& logDir, const std::vector<std::string>& lines) {
  std::error_code error;
  std::filesystem::create_directories(logDir, error);
  std::ofstream log(appendComponent(logDir, PROVISIONING_LOG), std::ios::app | std::ios::binary);
  for (const std::string& line : lines) log << line << '\n';
}

}  // namespace

std::optional<LauncherRun> parseLauncherArguments(const std::vector<std::string>& args) {
  if (args == kCleanup) return LauncherRun{LauncherRun::Kind::Cleanup, {}, std::nullopt};
  if (!startsWithRange(args, kUpdateHead) || args.size() < 7 || !isLocale(args[6])) {
    return std::nullopt;
  }
  const std::vector<std::string> tail(args.begin() + 7, args.end());
  if (tail == std::vector<std::string>{"-vmargs", "-Dfile.encoding=UTF-8", "-Xms32m", "-Xmx256m"}) {
    return LauncherRun{LauncherRun::Kind::RemovalUpdate, args[6], std::nullopt};
  }
  if (tail.size() == 6 && tail[0] == "-vmargs" && tail[1] == "-Dfile.encoding=UTF-8" &&
      tail[2] == "-DprovisioningOperation=update" && tail[3].starts_with(kSiteOption) &&
      tail[4] == "-Xms32m" && tail[5] == "-Xmx256m") {
    const std::optional<std::string> site = pathOfFileLocation(tail[3].substr(kSiteOption.size()));
    if (!site || site->empty()) return std::nullopt;
    return LauncherRun{LauncherRun::Kind::InstallUpdate, args[6], site};
  }
  return std::nullopt;
}

std::optional<std::string> pathOfFileLocation(const std::string& location) {
  if (!location.starts_with("file:")) return std::nullopt;
  std::string path = location.substr(5);
  if (path.starts_with("///")) path.erase(0, 2);
  return path;
}

Faults readFaults(const std::string& rcphome) {
  Faults faults;
  const std::string file = appendComponent(rcphome, IGNITOR_FAULT);
  if (!fs::exists(file)) return faults;
  const JavaProperties properties(file);
  faults.rc = properties.getPropertyForKey("rc");
  faults.noResult = properties.getPropertyForKey("result") == "none";
  faults.crash = properties.getPropertyForKey("crash") == "true";
  faults.garbage = properties.getPropertyForKey("garbage") == "true";
  faults.listDescriptors = properties.getPropertyForKey("fds") == "true";
  faults.applyNothing = properties.getPropertyForKey("apply") == "none";
  if (const std::optional<std::string> run = properties.getPropertyForKey("run")) {
    faults.run = std::strtoul(run->c_str(), nullptr, 10);
  }
  const std::string sleep = properties.getPropertyForKey("sleep").value_or("0");
  char* end = nullptr;
  const unsigned long seconds = std::strtoul(sleep.c_str(), &end, 10);
  faults.sleepSeconds = static_cast<unsigned>(std::min(seconds, 3600ul));
  return faults;
}

UpdateOutcome applyUpdate(const std::string& rcphome,
                          const std::optional<std::string>& updateSite) {
  UpdateOutcome outcome;
  const std::string deploy = appendComponent(rcphome, "deploy");
  const std::string installPath = appendComponent(deploy, "install.xml");
  const auto fail = [&](std::string problem) {
    outcome.rc = 1;
    outcome.problem = std::move(problem);
    return outcome;
  };

  pugi::xml_document update;
  const std::optional<std::string> updateText =
      os::readWholeFile(appendComponent(deploy, "install.update.xml"));
  if (!updateText) return fail("The manifest install.update.xml is missing");
  if (!update.load_buffer(updateText->data(), updateText->size(), pugi::parse_full)) {
    return fail("The manifest install.update.xml cannot be parsed");
  }
  pugi::xml_document target;
  const std::optional<std::string> installText = os::readWholeFile(installPath);
  if (!installText) return fail("The install manifest install.xml is missing");
  if (!target.load_buffer(installText->data(), installText->size(), pugi::parse_full)) {
    return fail("The install manifest install.xml cannot be parsed");
  }
  const pugi::xml_node updates = installElement(update);
  pugi::xml_node installed = installElement(target);
  if (!updates) return fail("The manifest install.update.xml holds no install element");
  if (!installed) return fail("The install manifest install.xml holds no install element");

  const std::string featuresDir = appendComponent(appendComponent(rcphome, "eclipse"), "features");
  if (!fs::isDirectory(featuresDir)) {
    std::error_code error;
    std::filesystem::create_directories(featuresDir, error);
  }

  for (const pugi::xml_node& wanted : updates.children("installfeature")) {
    const std::string id = wanted.attribute("id").value();
    if (isUninstallAction(wanted)) {
      while (pugi::xml_node old = findInstallFeature(installed, id)) {
        for (const pugi::xml_node& feature : old.child("requirements").children("feature")) {
          removeFeatureFiles(featuresDir, feature);
          outcome.removed.push_back(describe(feature));
        }
        installed.remove_child(old);
      }
      continue;
    }
    if (!isInstallAction(wanted)) continue;
    pugi::xml_node entry = findInstallFeature(installed, id);
    if (!entry) entry = installed.append_child("installfeature");
    for (const pugi::xml_attribute& attribute : wanted.attributes()) {
      if (std::string_view(attribute.name()) == "action") continue;
      pugi::xml_attribute own = entry.attribute(attribute.name());
      if (!own) own = entry.append_attribute(attribute.name());
      own.set_value(attribute.value());
    }
    pugi::xml_node requirements = entry.child("requirements");
    if (!requirements) requirements = entry.append_child("requirements");
    for (const pugi::xml_node& feature : wanted.child("requirements").children("feature")) {
      if (isUninstallAction(feature)) {
        removeFeatureEntries(requirements, feature);
        removeFeatureFiles(featuresDir, feature);
        outcome.removed.push_back(describe(feature));
      } else if (isInstallAction(feature)) {
        if (fetchFeature(feature, updateSite, featuresDir)) {
          putFeature(requirements, feature, featuresDir);
          outcome.installed.push_back(describe(feature));
        } else {
          outcome.missing.push_back(describe(feature));
        }
      }
    }
  }

  std::ostringstream text;
  target.save(text, "  ", pugi::format_default, pugi::encoding_utf8);
  if (!os::replaceFileAtomically(installPath, text.str())) {
    return fail("The install manifest install.xml could not be written");
  }
  outcome.rc = outcome.missing.empty() ? 0 : 2;
  return outcome;
}

std::string statusMessage(const LauncherRun& run, const UpdateOutcome& outcome) {
  if (outcome.rc == 1) return "Provisioning failed|-" + sanitized(outcome.problem);
  if (run.kind == LauncherRun::Kind::Cleanup) {
    return outcome.removed.empty() ? "Cleanup completed|-Nothing to clean up"
                                   : "Cleanup completed|-Removed " + joined(outcome.removed);
  }
  std::string message =
      outcome.rc == 2 ? "Provisioning completed with partial results" : "Provisioning completed";
  message += "|-" + counted(outcome.installed.size(), "installed");
  if (!outcome.removed.empty()) message += "|-" + counted(outcome.removed.size(), "removed");
  if (!outcome.missing.empty()) message += "|-Not fetched: " + sanitized(joined(outcome.missing));
  return message + "|Restart the product";
}

namespace {

constexpr const char* IGNITOR_HELP =
    R"(usage: ignitor <launcher arguments of a provisioning update or cleanup run>
       ignitor --help | --version

The simulated platform launcher. A copy lies in every sample product's rcp home (the
directory it is started from); the install and removal programs start it there with the
command lines of a provisioning "update" or "cleanup" run. Every run appends its
arguments to <rcp home>/ignitor.calls; "update" applies deploy/install.update.xml to
deploy/install.xml, logs to <rcp.data>/logs/provisioning.log and leaves
.provisioning_rc (rc=0, 2 or 1) in the platform home. A properties file
<rcp home>/ignitor.fault changes the outcome (see rcpsim --help).

Exit status:
  0  a provisioning run was made (its outcome is .provisioning_rc, not this status)
  2  not a launcher command line of the install or removal workflow; no result

Guides in share/doc/orrery-hotfix.
)";

}  // namespace

int IgnitorMain(int argc, char** argv) {
  if (const std::optional<int> status = answerHelpOrVersion(argc, argv, "ignitor", IGNITOR_HELP)) {
    return *status;
  }
  const std::string rcphome = rcphomeOf(argc > 0 ? argv[0] : nullptr);
  appendCall(rcphome, argc, argv);
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const std::optional<LauncherRun> run = parseLauncherArguments(arguments);
  if (!run) {
    std::cerr << "ignitor: not a launcher command line of the install or removal workflow\n";
    return 2;
  }
  Faults faults = readFaults(rcphome);
  if (faults.run &&
      *faults.run != readIgnitorCalls(appendComponent(rcphome, IGNITOR_CALLS)).size()) {
    faults = Faults{};  // another run than the one named
  }
  if (faults.listDescriptors) appendDescriptors(rcphome);
  const std::string platformHome = os::deletingLastComponent(rcphome);
  const JavaProperties properties(appendComponent(rcphome, "ignitor.properties"));
  const std::string manifestVersion =
      sanitized(properties.getPropertyForKey("provisioning.manifest.version").value_or(""));

  UpdateOutcome outcome;
  std::string operation = "update";
  if (faults.applyNothing) {
    operation = run->kind == LauncherRun::Kind::Cleanup ? "cleanup" : "update";
    outcome.rc = 1;
    outcome.problem = "The run was told to apply nothing";
  } else if (run->kind == LauncherRun::Kind::Cleanup) {
    operation = "cleanup";
    const std::string staged =
        appendComponent(appendComponent(rcphome, "deploy"), "install.update.xml");
    if (fs::entryExists(staged) && fs::removeItem(staged))
      outcome.removed.push_back("install.update.xml");
  } else {
    outcome = applyUpdate(rcphome, run->updateSite);
  }
  const std::string rc = faults.rc ? *faults.rc : std::to_string(outcome.rc);

  if (const std::optional<std::string> data = dataDirectory(properties, platformHome)) {
    const std::string head = ";provisioning;" + operation + ";" + manifestVersion + ";";
    std::vector<std::string> lines{timestamp() + ";INFO" + head +
                                   ";Starting provisioning operation " + operation};
    for (const std::string& feature : outcome.installed) {
      lines.push_back(timestamp() + ";INFO" + head + ";Installed feature " + sanitized(feature));
    }
    for (const std::string& feature : outcome.removed) {
      lines.push_back(timestamp() + ";INFO" + head + ";Removed " + sanitized(feature));
    }
    for (const std::string& feature : outcome.missing) {
      lines.push_back(timestamp() + ";WARNING" + head + ";Could not fetch feature " +
                      sanitized(feature));
    }
    const char* level = outcome.rc == 0 ? ";INFO" : outcome.rc == 2 ? ";WARNING" : ";ERROR";
    lines.push_back(timestamp() + level + head + sanitized(rc) + ";" +
                    statusMessage(*run, outcome));
    appendLog(appendComponent(*data, PROVISIONING_LOG_DIR), lines);
  }

  if (faults.sleepSeconds > 0) ::sleep(faults.sleepSeconds);
  if (faults.crash) std::abort();
  if (!faults.noResult) {
    const std::string result = faults.garbage
                                   ? std::string("\x00\x01\xff\xfe\x00 not a result\x7f", 19)
                                   : "rc=" + rc + "\n";
    os::replaceFileAtomically(appendComponent(platformHome, ".provisioning_rc"), result);
  }
  return 0;
}

std::vector<std::vector<std::string>> readIgnitorCalls(const std::string& callsFile) {
  std::vector<std::vector<std::string>> runs;
  std::istringstream in(os::readWholeFile(callsFile).value_or(""));
  std::vector<std::string> current;
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) {
      runs.push_back(std::move(current));
      current.clear();
    } else {
      current.push_back(line);
    }
  }
  if (!current.empty()) runs.push_back(std::move(current));
  return runs;
}

}  // namespace rcpinstall::rcpsim
