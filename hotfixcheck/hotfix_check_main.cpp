// The command line of hotfixcheck: commands, options, text and JSON reports, exit statuses.
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <system_error>

#include "hotfixcheck/hotfix_check.h"
#include "instance/workflow_step.h"
#include "os/file_system.h"
#include "os/path.h"
#include "os/program_info.h"

#ifndef RCP_PROJECT_VERSION
#define RCP_PROJECT_VERSION "unknown"
#endif

namespace rcpinstall::HotfixCheck {

namespace {

using nlohmann::json;

json orNull(const std::optional<std::string>& text) {
  return text ? json(*text) : json(nullptr);
}

json featuresJson(const std::vector<Feature>& features) {
  json out = json::array();
  for (const Feature& feature : features) {
    out.push_back({{"id", feature.id}, {"version", feature.version}});
  }
  return out;
}

std::string joined(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& word : words) out += (out.empty() ? "" : " ") + word;
  return out;
}

// Paths need not be UTF-8; bytes that are not are replaced rather than ending the program.
void print(const json& document) {
  std::cout << document.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
}

int usageError(const std::string& message) {
  std::cerr << "hotfixcheck: " << message << "\n(hotfixcheck --help explains the commands)\n";
  return EXIT_USAGE;
}

// The simulated launcher beside this program (build/bin/ignitor next to build/bin/hotfixcheck).
// The simulated launcher: beside this program in a build tree, or where the simulator's
// package installs it (<prefix>/libexec/orrery-hotfix, this program being in <prefix>/bin).
std::string ignitorBesideThisProgram() {
  std::error_code error;
  const std::string self = std::filesystem::read_symlink("/proc/self/exe", error).string();
  const std::string directory = os::deletingLastComponent(self);
  const std::string beside = os::appendComponent(directory, "ignitor");
  const std::string installed = os::appendComponent(
      os::appendComponent(os::deletingLastComponent(directory), "libexec/orrery-hotfix"),
      "ignitor");
  return !os::FileSystem::exists(beside) && os::FileSystem::exists(installed) ? installed : beside;
}

int lintCommand(const std::string& package, bool asJson) {
  const LintReport report = lint(package);
  if (asJson) {
    json findings = json::array();
    for (const Finding& finding : report.findings) {
      findings.push_back({{"severity", finding.severity},
                          {"code", finding.code},
                          {"path", finding.path},
                          {"message", finding.message}});
    }
    print(json{{"formatVersion", FORMAT_VERSION},
               {"package", report.package},
               {"findings", findings},
               {"customizationKeys", report.customizationKeys}});
  } else {
    size_t errors = 0;
    for (const Finding& finding : report.findings) {
      errors += finding.severity == "error" ? 1 : 0;
      std::cout << finding.severity << " " << finding.code << " " << finding.path << ": "
                << finding.message << "\n";
    }
    for (const std::string& key : report.customizationKeys) {
      std::cout << "info: the plug-in customization sets " << key << "\n";
    }
    std::cout << package << ": " << errors << " error(s), " << report.findings.size() - errors
              << " warning(s)\n";
  }
  return report.hasErrors() ? 1 : 0;
}

int planCommand(const std::string& package, const std::string& destination, bool asJson) {
  const Plan result = plan(package, destination);
  const InstallDecision& decision = result.decision;
  if (asJson) {
    json checks = json::array();
    for (const PreCheck& check : decision.checks) {
      checks.push_back({{"name", check.name}, {"passed", check.passed}});
    }
    json steps = json::array();
    for (const PlannedStep& step : result.steps) {
      json onOutcome = nullptr;
      for (const auto& [outcome, path] : step.pathOnOutcome) onOutcome[outcome] = path;
      steps.push_back({{"action", step.action},
                       {"path", step.path},
                       {"source", orNull(step.source)},
                       {"note", step.note},
                       {"step", step.step},
                       {"when", step.when},
                       {"pathOnOutcome", onOutcome}});
    }
    print(json{{"formatVersion", FORMAT_VERSION},
               {"code", result.code},
               {"details", result.details},
               {"bundle", orNull(decision.bundle)},
               {"rcpHome", orNull(decision.rcpHome)},
               {"destination", decision.target.pathToInstallDestination},
               {"checks", checks},
               {"installedHotfixVersion", orNull(decision.installedHotfixVersion)},
               {"packageVersion", orNull(decision.packageVersion)},
               {"removesInstalledHotfix", decision.removesInstalledHotfix},
               {"launcherRuns", result.launcherRuns},
               {"steps", steps},
               {"exitStatus", result.exitStatus}});
    return result.code;
  }
  std::cout << "bundle: " << decision.bundle.value_or("(none)") << "\n"
            << "rcp home: " << decision.rcpHome.value_or("(none)") << "\n"
            << "destination: " << decision.target.pathToInstallDestination << "\n";
  for (const PreCheck& check : decision.checks) {
    std::cout << "check " << check.name << ": " << (check.passed ? "passed" : "refused") << "\n";
  }
  if (decision.goesAhead()) {
    std::cout << "removes the installed hotfix first: "
              << (decision.removesInstalledHotfix
                      ? "yes (" + decision.installedHotfixVersion.value_or("") + ")"
                      : std::string("no"))
              << "\n";
  }
  std::string lastStep;
  for (const PlannedStep& step : result.steps) {
    if (step.step != lastStep) {
      std::cout << "step: " << step.step;
      if (step.when != describe(StepCondition::kAlways)) std::cout << ", only " << step.when;
      std::cout << "\n";
      lastStep = step.step;
    }
    std::cout << "  " << step.action << " " << step.path;
    if (step.source) std::cout << " from " << *step.source;
    if (!step.note.empty()) std::cout << " (" << step.note << ")";
    std::cout << "\n";
    for (const auto& [outcome, path] : step.pathOnOutcome) {
      std::cout << "    when " << outcome << ": " << path << "\n";
    }
  }
  for (const std::vector<std::string>& run : result.launcherRuns) {
    std::cout << "launcher run: " << joined(run) << "\n";
  }
  std::cout << "error code: " << result.code;
  if (!result.details.empty()) std::cout << " [" << joined(result.details) << "]";
  std::cout << (result.code == 0 ? " (patchapply goes ahead)" : " (patchapply stops)") << "\n";
  return result.code;
}

int rehearseCommand(const std::string& package, const std::string& destination,
                    const RehearsalOptions& options, bool asJson) {
  const Rehearsal report = rehearse(package, destination, options);
  if (asJson) {
    print(json{{"formatVersion", FORMAT_VERSION},
               {"bundle", orNull(report.bundle)},
               {"directory", options.keep ? orNull(report.directory) : json(nullptr)},
               {"installed", report.installed},
               {"installCode", report.installCode},
               {"installResult", orNull(report.installResult)},
               {"removed", report.removed},
               {"roundTrip", report.roundTrip},
               {"installFeaturesAdded", featuresJson(report.installFeaturesAdded)},
               {"featuresAdded", featuresJson(report.featuresAdded)},
               {"launcherRuns", report.launcherRuns},
               {"printed", report.printed},
               {"unrepaired", report.unrepaired},
               {"problems", report.problems},
               {"passed", report.passed()}});
    return report.passed() ? 0 : 1;
  }
  std::cout << "product: " << report.bundle.value_or("(none)") << "\n";
  if (options.keep && report.directory) std::cout << "copy kept in " << *report.directory << "\n";
  for (const std::vector<std::string>& run : report.launcherRuns) {
    std::cout << "launcher run: " << joined(run) << "\n";
  }
  for (const std::string& line : report.printed) std::cout << "printed: " << line << "\n";
  std::cout << "install: " << (report.installed ? "succeeded" : "failed") << " (code "
            << report.installCode << ", provisioning result "
            << report.installResult.value_or("none") << ")\n";
  for (const Feature& feature : report.installFeaturesAdded) {
    std::cout << "added install feature " << feature.id << " " << feature.version << "\n";
  }
  for (const Feature& feature : report.featuresAdded) {
    std::cout << "added feature " << feature.id << " " << feature.version << "\n";
  }
  std::cout << "removal: " << (report.removed ? "succeeded" : "failed or not made") << "\n"
            << "round trip: " << (report.roundTrip ? "holds" : "does not hold") << "\n";
  for (const std::string& line : report.unrepaired) {
    std::cout << "not repaired without root: " << line << "\n";
  }
  for (const std::string& line : report.problems) std::cout << "problem: " << line << "\n";
  std::cout << "rehearsal " << (report.passed() ? "passed" : "failed") << "\n";
  return report.passed() ? 0 : 1;
}

int statusCommand(const std::string& platformHome, bool asJson) {
  const InstanceStatus result = status(platformHome);
  if (asJson) {
    json features = json::array();
    for (const InstallFeature& top : result.installFeatures) {
      features.push_back({{"id", top.feature.id},
                          {"version", top.feature.version},
                          {"features", featuresJson(top.requirements)}});
    }
    print(json{{"formatVersion", FORMAT_VERSION},
               {"rcpHome", result.rcpHome},
               {"recognised", result.recognised},
               {"bundle", orNull(result.bundle)},
               {"applicationVersion", orNull(result.applicationVersion)},
               {"version", orNull(result.version)},
               {"hotfixVersion", orNull(result.hotfixVersion)},
               {"basePluginVersion", orNull(result.basePluginVersion)},
               {"installFeatures", features},
               {"backups", result.backups},
               {"stagedManifests", result.stagedManifests},
               {"provisioningResult", orNull(result.provisioningResult)},
               {"finalStatus", orNull(result.finalStatus)},
               {"running", result.running ? json(*result.running) : json(nullptr)}});
    return result.recognised ? 0 : 1;
  }
  const auto line = [](const char* label, const std::optional<std::string>& value) {
    std::cout << label << ": " << value.value_or("(none)") << "\n";
  };
  std::cout << "rcp home: " << result.rcpHome
            << (result.recognised ? "" : " (no installed instance: deploy/install.xml is missing)")
            << "\n";
  line("application version", result.applicationVersion);
  line("instance version", result.version);
  line("hotfix version", result.hotfixVersion);
  line("base plug-in version", result.basePluginVersion);
  for (const InstallFeature& top : result.installFeatures) {
    std::cout << "install feature " << top.feature.id << " " << top.feature.version << "\n";
    for (const Feature& feature : top.requirements) {
      std::cout << "  feature " << feature.id << " " << feature.version
                << (installs(feature) ? "" : " (action " + feature.action.value_or("") + ")")
                << "\n";
    }
  }
  for (const std::string& name : result.backups) std::cout << "backup: deploy/" << name << "\n";
  for (const std::string& name : result.stagedManifests) {
    std::cout << "staged: deploy/" << name << "\n";
  }
  line("last provisioning result", result.provisioningResult);
  std::optional<std::string> status;
  if (result.finalStatus) {
    // The log's line markers become line breaks; here the lines are joined into one.
    std::istringstream lines(*result.finalStatus);
    status.emplace();
    for (std::string part; std::getline(lines, part);) {
      if (!part.empty()) *status += (status->empty() ? "" : " / ") + part;
    }
  }
  line("final status", status);
  std::cout << "running: "
            << (result.running ? (*result.running ? "yes" : "no")
                               : "unknown (no application bundle)")
            << "\n";
  return result.recognised ? 0 : 1;
}

}  // namespace

std::string usage() {
  return R"(usage: hotfixcheck [--json] lint <package>
       hotfixcheck [--json] plan <package> <destination>
       hotfixcheck [--json] [--keep] [--ignitor <path>] rehearse <package> <destination>
       hotfixcheck [--json] status <platform home>
       hotfixcheck --help | --version

Checks a hotfix package before it ships, shows what patchapply would do, rehearses an install
and its removal on a private copy of the product, and reports what an instance records. It
never changes the product, the package, or the fixed files in /tmp.

Commands:
  lint <package>        One line per finding: severity, code, path, sentence. Codes:
                        settings-unreadable, settings-type, unsupported-characters,
                        missing-file, malformed-manifest, unresolved-location,
                        removal-mismatch. The keys the plug-in customization would set are
                        listed as information.
  plan <package> <destination>
                        What patchapply would decide (product bundle, rcp home, each
                        pre-check), whether it removes the installed hotfix first, every
                        launcher command line, the files it would stage, back up, rewrite,
                        merge, replace, copy and delete, and the error code it would send.
                        The cleanup run of a removal follows only when that removal succeeds.
  rehearse <package> <destination>
                        Copies the product's application bundle into a fresh temporary
                        directory, puts the simulated launcher in place of the copy's, runs
                        the install and then the removal on the copy (with private error
                        channel, hand-off file, trace log and marker file), and reports the
                        provisioning results, the features added and the round trip.
  status <platform home>
                        Application, instance, hotfix and base plug-in versions, install
                        features, manifest backups, staged manifests, the last provisioning
                        result and final status line, and whether the product runs.

Options:
  --json                print one JSON document instead of text
  --ignitor <path>      the simulated launcher for rehearse (default: ignitor beside this
                        program)
  --keep                rehearse keeps its temporary directory and names it
  --help, --version     as the only argument

Exit status:
  lint      0 no error (warnings allowed), 1 at least one error
  plan      the error code patchapply would send: 0 when it goes ahead, 3 unsupported
            characters, 4 install manifest missing, 6 product running, 7 higher hotfix
            installed, 8 no installed platform
  rehearse  0 when install and removal succeeded and the round trip holds, 1 otherwise
  status    0 when an installed instance is recognised, 1 otherwise
  2         a usage error, for every command

JSON documents (every one carries "formatVersion": 1; absent values are null):
  lint      {"package", "findings": [{"severity": "error"|"warning", "code", "path",
            "message"}], "customizationKeys": ["key=value"]}
  plan      {"code", "details", "bundle", "rcpHome", "destination", "checks": [{"name",
            "passed"}], "installedHotfixVersion", "packageVersion", "removesInstalledHotfix",
            "launcherRuns": [[program, arg, ...]], "steps": [{"action", "path", "source",
            "note", "step" (the workflow step), "when" ("always" or the earlier success it
            waits on), "pathOnOutcome" ({outcome: path} or null)}], "exitStatus"
            (patchapply's, its provisioning succeeding: 0 or 1)}
  rehearse  {"bundle", "directory" (with --keep), "installed", "installCode",
            "installResult" (rc of the install's run), "removed", "roundTrip",
            "installFeaturesAdded" and "featuresAdded": [{"id", "version"}],
            "launcherRuns", "printed", "unrepaired", "problems", "passed"}
  status    {"rcpHome", "recognised", "bundle", "applicationVersion", "version",
            "hotfixVersion", "basePluginVersion", "installFeatures": [{"id", "version",
            "features": [{"id", "version"}]}], "backups", "stagedManifests",
            "provisioningResult" (rc as written), "finalStatus", "running"}

Manual: man 1 hotfixcheck; guides in share/doc/orrery-hotfix (the fleet guide shows the
JSON documents in use).
)";
}

int run(const std::vector<std::string>& arguments) {
  if (arguments.size() == 2) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    if (const std::optional<int> status =
            os::answerHelpOrVersion(2, argv.data(), "hotfixcheck", usage())) {
      return *status;
    }
  }
  bool asJson = false;
  RehearsalOptions options;
  options.ignitor = ignitorBesideThisProgram();
  std::vector<std::string> words;
  for (size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--json") {
      asJson = true;
    } else if (argument == "--keep") {
      options.keep = true;
    } else if (argument == "--ignitor") {
      if (i + 1 >= arguments.size()) return usageError("--ignitor needs a path");
      options.ignitor = arguments[++i];
    } else if (argument.starts_with("--")) {
      return usageError("unknown option: " + argument);
    } else {
      words.push_back(argument);
    }
  }
  if (words.empty()) return usageError("a command is needed");
  const std::string& command = words[0];
  const auto wants = [&](size_t count) { return words.size() == count + 1; };
  for (size_t i = 1; i < words.size(); ++i) {
    if (words[i].empty()) return usageError("an empty path was given");
  }
  if (command == "lint" && wants(1)) return lintCommand(words[1], asJson);
  if (command == "plan" && wants(2)) return planCommand(words[1], words[2], asJson);
  if (command == "rehearse" && wants(2)) {
    return rehearseCommand(words[1], words[2], options, asJson);
  }
  if (command == "status" && wants(1)) return statusCommand(words[1], asJson);
  if (command == "lint" || command == "plan" || command == "rehearse" || command == "status") {
    return usageError(command + ": wrong number of arguments");
  }
  return usageError("unknown command: " + command);
}

}  // namespace rcpinstall::HotfixCheck

namespace rcpinstall {

int HotfixCheckMain(int argc, char** argv) {
  return HotfixCheck::run(std::vector<std::string>(argv, argv + argc));
}

}  // namespace rcpinstall
