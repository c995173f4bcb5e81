// The command line of hotfixcheck: commands, options, text and JSON reports, exit statuses.
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <system_error>

#include "foundation/install_paths.h"
#include "foundation/program_info.h"
#include "hotfixcheck/hotfix_check.h"
#include "hotfixcheck/report_json.h"
#include "instance/workflow_step.h"
#include "os/file_system.h"
#include "os/interruption.h"
#include "os/path.h"
#include "os/standard_output.h"

#ifndef RCP_PROJECT_VERSION
#define RCP_PROJECT_VERSION "unknown"
#endif

namespace rcpinstall::HotfixCheck {

namespace {

using nlohmann::json;

json orNull(const std::optional<std::string>& text) {
  return text ? json(*text) : json(nullptr);
}

std::string joined(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& word : words) out += (out.empty() ? "" : " ") + word;
  return out;
}

// A command line as a shell reads it back: a word with anything but letters, digits and
// "%+,-./:=@_" is put in single quotes (a quote inside as '\''), the empty word as ''.
std::string shellQuoted(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& word : words) {
    if (!out.empty()) out += ' ';
    const bool plain = !word.empty() && word.find_first_not_of(
                                            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                            "0123456789%+,-./:=@_") == std::string::npos;
    if (plain) {
      out += word;
      continue;
    }
    out += '\'';
    for (const char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    out += '\'';
  }
  return out;
}

// The exit status of a command that a signal interrupted: 128 + its number, as shells report
// a program that the signal ended.
int interruptedStatus(const std::string& signalName) {
  for (const int signal : {SIGHUP, SIGINT, SIGTERM}) {
    if (os::signalName(signal) == signalName) return 128 + signal;
  }
  if (signalName.starts_with("signal ")) return 128 + std::atoi(signalName.c_str() + 7);
  return 128 + SIGTERM;
}

// Paths need not be UTF-8: bytes that are not are replaced, and given in a "Hex" field beside.
void print(const json& document) {
  std::cout << printable(document);
}

int usageError(const std::string& message) {
  std::cerr << "hotfixcheck: " << message << "\n(hotfixcheck --help explains the commands)\n";
  return EXIT_USAGE;
}

int toolFailure(const std::string& message) {
  std::cerr << "hotfixcheck: " << message << "\n";
  return EXIT_TOOL_FAILURE;
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

// The plan as the JSON document the fleet tools read.
json planDocument(const Plan& result) {
  const InstallDecision& decision = result.decision;
  json checks = json::array();
  for (const PreCheck& check : decision.checks) {
    checks.push_back({{"name", check.name}, {"passed", check.passed}});
  }
  json steps = json::array();
  for (const PlannedStep& step : result.steps) {
    json onOutcome = nullptr;
    for (const auto& [outcome, path] : step.pathOnOutcome) {
      onOutcome.push_back({{"outcome", outcome}, {"path", path}});
    }
    steps.push_back({{"action", step.action},
                     {"path", step.path},
                     {"source", orNull(step.source)},
                     {"note", step.note},
                     {"step", step.step},
                     {"when", step.when},
                     {"condition", conditionName(step.condition)},
                     {"pathOnOutcome", onOutcome}});
  }
  json runs = json::array();
  json runConditions = json::array();
  for (const LauncherRun& run : result.launcherRuns) {
    runs.push_back(run.command);
    runConditions.push_back(describe(run.when));
  }
  return json{{"formatVersion", FORMAT_VERSION},
              {"code", result.code},
              {"details", result.details},
              {"bundle", orNull(decision.bundle)},
              {"rcpHome", orNull(decision.rcpHome)},
              {"destination", decision.target.pathToInstallDestination},
              {"checks", checks},
              {"installedHotfixVersion", orNull(decision.installedHotfixVersion)},
              {"packageVersion", orNull(decision.packageVersion)},
              {"removesInstalledHotfix", decision.removesInstalledHotfix},
              {"launcherRuns", runs},
              {"launcherRunConditions", runConditions},
              {"launcherMissing", result.launcherMissing},
              {"steps", steps},
              {"exitStatus", result.exitStatus},
              {"warnings", result.warnings}};
}

// The changes, each step named once before its first change.
void printPlannedSteps(const std::vector<PlannedStep>& steps) {
  std::string lastStep;
  for (const PlannedStep& step : steps) {
    if (step.step != lastStep) {
      std::cout << "step: " << step.step;
      if (step.condition != StepCondition::kAlways) std::cout << ", only " << step.when;
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
}

void printLauncherRuns(const Plan& result) {
  for (const LauncherRun& run : result.launcherRuns) {
    std::cout << "launcher run";
    if (run.when != StepCondition::kAlways) std::cout << " (only " << describe(run.when) << ")";
    std::cout << ": " << shellQuoted(run.command) << "\n";
  }
  if (result.launcherMissing && !result.launcherRuns.empty()) {
    std::cout << "the launcher " << shellQuoted({result.launcherRuns.front().command.front()})
              << " is missing: patchapply would make no provisioning run, and the install "
                 "would fail\n";
  }
}

void printPlan(const Plan& result) {
  const InstallDecision& decision = result.decision;
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
  printPlannedSteps(result.steps);
  printLauncherRuns(result);
  std::cout << "error code: " << result.code;
  if (!result.details.empty()) std::cout << " [" << joined(result.details) << "]";
  std::cout << (result.code == 0 ? " (patchapply goes ahead)" : " (patchapply stops)") << "\n";
  for (const std::string& warning : result.warnings) std::cout << "warning: " << warning << "\n";
}

int planCommand(const std::string& package, const std::string& destination, bool asJson) {
  if (const std::optional<std::string> oversized =
          oversizedPlanInput(package, destination, REGISTER_DIRECTORY)) {
    return toolFailure("cannot plan: " + *oversized);
  }
  Plan result = plan(package, destination);
  addPlanWarnings(result);
  if (asJson) {
    print(planDocument(result));
  } else {
    printPlan(result);
  }
  return result.code;
}

int rehearseCommand(const std::string& package, const std::string& destination,
                    RehearsalOptions options, bool asJson) {
  options.progress = !options.quiet && StepProgress::wanted();
  const Rehearsal rehearsal = rehearse(package, destination, options);
  const int status = rehearsal.interrupted ? interruptedStatus(*rehearsal.interrupted)
                     : rehearsal.passed()  ? 0
                                           : 1;
  if (rehearsal.interrupted) {
    std::cerr << "hotfixcheck: rehearse interrupted by " << *rehearsal.interrupted
              << "; the launcher it started was ended and its copy removed\n";
  }
  if (asJson) {
    print(rehearsalDocument(rehearsal, options.keep));
    return status;
  }
  const auto outcome = [](const std::optional<bool>& ran, const char* yes, const char* no) {
    return ran ? std::string(*ran ? yes : no) : std::string("not run");
  };
  std::ostream& out = std::cout;
  out << "product: " << rehearsal.bundle.value_or("(none)") << "\n";
  if (options.keep && rehearsal.directory) {
    out << "copy kept in " << *rehearsal.directory << "\n";
  }
  for (const std::string& note : rehearsal.notes) out << "note: " << note << "\n";
  for (const SkippedFile& file : rehearsal.skipped) {
    out << "not copied: " << file.path << ": " << file.reason << "\n";
  }
  for (const std::vector<std::string>& run : rehearsal.launcherRuns) {
    out << "launcher run: " << shellQuoted(run) << "\n";
  }
  for (const std::string& line : rehearsal.printed) out << "printed: " << line << "\n";
  out << "install: " << outcome(rehearsal.installed, "succeeded", "failed");
  if (rehearsal.installed) {
    out << " (code "
        << (rehearsal.installCode ? std::to_string(*rehearsal.installCode) : std::string("none"))
        << ", provisioning result " << rehearsal.installResult.value_or("none") << ")";
  }
  out << "\n";
  for (const Feature& feature : rehearsal.installFeaturesAdded) {
    out << "added install feature " << feature.id << " " << feature.version << "\n";
  }
  for (const Feature& feature : rehearsal.featuresAdded) {
    out << "added feature " << feature.id << " " << feature.version << "\n";
  }
  out << "removal: " << outcome(rehearsal.removed, "succeeded", "failed") << "\n"
      << "round trip: " << outcome(rehearsal.roundTrip, "holds", "does not hold") << "\n";
  for (const std::string& line : rehearsal.unrepaired) {
    out << "not repaired without root: " << line << "\n";
  }
  for (const std::string& line : rehearsal.problems) out << "problem: " << line << "\n";
  out << "rehearsal " << (rehearsal.passed() ? "passed" : "failed") << "\n";
  return status;
}

void printField(const char* label, const std::optional<std::string>& value) {
  std::cout << label << ": " << value.value_or("(none)") << "\n";
}

// What deploy holds: the installed features, the backups and the staged manifests.
void printDeployContents(const InstanceStatus& result) {
  std::ostream& out = std::cout;
  for (const InstallFeature& top : result.installFeatures) {
    out << "install feature " << top.feature.id << " " << top.feature.version << "\n";
    for (const Feature& feature : top.requirements) {
      out << "  feature " << feature.id << " " << feature.version
          << (installs(feature) ? "" : " (action " + feature.action.value_or("") + ")") << "\n";
    }
  }
  for (const std::string& name : result.backups) out << "backup: deploy/" << name << "\n";
  for (const InstanceService::InstallBackup& backup : result.installBackups) {
    out << "kept by an install: " << backup.path << " (" << backup.replaced.size() << " replaced, "
        << backup.added.size() << " added)\n";
  }
  for (const std::string& name : result.stagedManifests) out << "staged: deploy/" << name << "\n";
}

// The log's line markers become line breaks; here the lines are joined into one.
std::optional<std::string> oneLine(const std::optional<std::string>& finalStatus) {
  if (!finalStatus) return std::nullopt;
  std::istringstream lines(*finalStatus);
  std::string joinedLines;
  for (std::string part; std::getline(lines, part);) {
    if (!part.empty()) joinedLines += (joinedLines.empty() ? "" : " / ") + part;
  }
  return joinedLines;
}

void printLastInstall(const std::optional<LastInstall>& lastInstall) {
  std::ostream& out = std::cout;
  if (!lastInstall) {
    out << "last install's error code: (none for this product)\n";
    return;
  }
  const LastInstall& last = *lastInstall;
  out << "last install's error code: "
      << (last.code ? std::to_string(*last.code) : std::string("(none on the error channel)"));
  if (!last.details.empty()) out << " [" << joined(last.details) << "]";
  if (last.time) out << " at " << utcTime(*last.time);
  out << "\n"
      << "error marker file: "
      << (last.markerSince ? std::string(ERROR_MARKER_FILE) + " since " + utcTime(*last.markerSince)
                           : std::string("(none)"))
      << "\n";
}

void printStatus(const InstanceStatus& result) {
  std::ostream& out = std::cout;
  out << "rcp home: " << result.rcpHome
      << (result.recognised ? "" : " (no installed instance: deploy/install.xml is missing)")
      << "\n";
  for (const std::string& error : result.errors) out << "cannot read: " << error << "\n";
  for (const std::string& warning : result.warnings) out << "warning: " << warning << "\n";
  printField("application version", result.applicationVersion);
  printField("instance version", result.version);
  printField("hotfix version", result.hotfixVersion);
  printField("base plug-in version", result.basePluginVersion);
  printDeployContents(result);
  printField("last provisioning result", result.provisioningResult);
  printField("final status", oneLine(result.finalStatus));
  out << "running: "
      << (result.running ? (*result.running ? "yes" : "no") : "unknown (no application bundle)")
      << "\n";
  printField("install state", result.installState);
  printLastInstall(result.lastInstall);
}

int statusCommand(const std::string& platformHome, bool asJson, bool inventory) {
  const InstanceStatus result = status(platformHome);
  if (inventory) {
    const InventoryValue value = inventoryValue(result);
    std::cout << "<result>" << value.value.value_or("error: " + value.error) << "</result>\n";
    return value.value ? 0 : EXIT_TOOL_FAILURE;
  }
  const int exitStatus = !result.errors.empty() ? EXIT_TOOL_FAILURE : result.recognised ? 0 : 1;
  if (asJson) {
    print(statusDocument(result));
  } else {
    printStatus(result);
  }
  return exitStatus;
}

int needsInstallCommand(const std::string& platformHome, const std::string& wanted, bool asJson) {
  const InstanceStatus instance = status(platformHome);
  const InstallNeed need = needsInstall(instance, wanted);
  const int exitStatus = need.needed ? (*need.needed ? 0 : 1) : EXIT_TOOL_FAILURE;
  if (asJson) {
    print(needsInstallDocument(need, instance, wanted));
  } else {
    std::cout << need.message << "\n";
  }
  return exitStatus;
}

// The command line with its words checked; answers the exit status.
int runCommand(const std::vector<std::string>& arguments) {
  bool asJson = false;
  bool inventory = false;
  bool rehearsalOption = false;  // --keep or --ignitor, which only rehearse reads
  RehearsalOptions options;
  options.ignitor = InstallPaths::helperProgram("ignitor");
  std::vector<std::string> words;
  bool optionsEnded = false;
  for (size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (optionsEnded || !argument.starts_with("-") || argument == "-") {
      words.push_back(argument);
    } else if (argument == "--") {
      optionsEnded = true;
    } else if (argument == "--json") {
      asJson = true;
    } else if (argument == "--keep") {
      options.keep = rehearsalOption = true;
    } else if (argument == "--inventory") {
      inventory = true;
    } else if (argument == "--quiet") {
      options.quiet = true;
    } else if (argument == "--ignitor") {
      if (i + 1 >= arguments.size()) return usageError("--ignitor needs a path");
      options.ignitor = arguments[++i];
      rehearsalOption = true;
    } else {
      return usageError("unknown option: " + argument + " (a path that begins with \"-\" " +
                        "follows \"--\")");
    }
  }
  if (words.empty()) return usageError("a command is needed");
  const std::string& command = words[0];
  const auto wants = [&](size_t count) { return words.size() == count + 1; };
  for (size_t i = 1; i < words.size(); ++i) {
    if (words[i].empty()) return usageError("an empty argument was given");
  }
  if (inventory && command != "status") return usageError("--inventory belongs to status");
  if (inventory && asJson) {
    return usageError("--json and --inventory exclude each other: the inventory value is no JSON");
  }
  if (rehearsalOption && command != "rehearse") {
    return usageError("--keep and --ignitor belong to rehearse");
  }
  if (command == "lint" && wants(1)) return lintCommand(words[1], asJson);
  if (command == "plan" && wants(2)) return planCommand(words[1], words[2], asJson);
  if (command == "rehearse" && wants(2)) {
    return rehearseCommand(words[1], words[2], options, asJson);
  }
  if (command == "status" && wants(1)) return statusCommand(words[1], asJson, inventory);
  if (command == "needs-install" && wants(2)) {
    return needsInstallCommand(words[1], words[2], asJson);
  }
  if (command == "lint" || command == "plan" || command == "rehearse" || command == "status" ||
      command == "needs-install") {
    return usageError(command + ": wrong number of arguments");
  }
  return usageError("unknown command: " + command);
}

// Where the JSON Schemas are installed: <prefix>/share/orrery-hotfix/schemas beside the
// <prefix>/bin this program runs from, else under the prefix the build was configured for.
std::string schemaDirectory() {
  std::error_code error;
  const std::string self = std::filesystem::read_symlink("/proc/self/exe", error).string();
  const std::string prefix = os::deletingLastComponent(os::deletingLastComponent(self));
  const std::string beside = os::appendComponent(prefix, "share/orrery-hotfix/schemas");
#ifdef RCP_SCHEMA_DIR
  if (!os::FileSystem::isDirectory(beside)) return RCP_SCHEMA_DIR;
#endif
  return beside;
}

}  // namespace

std::string usage() {
  return R"(usage: hotfixcheck [--json] [--quiet] lint <package>
       hotfixcheck [--json] [--quiet] plan <package> <destination>
       hotfixcheck [--json] [--quiet] [--keep] [--ignitor <path>] rehearse <package>
                   <destination>
       hotfixcheck [--json | --inventory] [--quiet] status <platform home>
       hotfixcheck [--json] [--quiet] needs-install <platform home> <version>
       hotfixcheck --help | --version

Checks a hotfix package before it ships, shows what patchapply would do, rehearses an install
and its removal on a private copy of the product, and reports what an instance records. It
never changes the product, the package, or the fixed files in /tmp. No file is read whole
above 64 MiB: a larger one is an error that names it.

Commands:
  lint <package>        One line per finding: severity, code, path, sentence. Errors:
                        settings-unreadable, settings-type, unsupported-characters,
                        missing-file (the install manifest), unreadable-file (the install
                        manifest), file-too-large, malformed-manifest, unresolved-location,
                        removal-mismatch, link-out-of-package. Warnings: missing-file and
                        unreadable-file (the other files), unknown-setting, special-file
                        (a FIFO, device or socket), customization-escape (a \u escape Java
                        refuses), version-order (a number of more than one digit in the
                        version: versions compare as text, so 1.10 orders before 1.9).
                        An unsupported-characters finding names the character. The keys
                        the plug-in customization would set are listed as information.
  plan <package> <destination>
                        What patchapply would decide (product bundle, rcp home, each
                        pre-check), whether it removes the installed hotfix first, every
                        launcher command line, the files it would stage, back up, rewrite,
                        merge, replace, copy and delete, and the error code it would send.
                        The cleanup run of a removal follows only when that removal succeeds.
                        A step whose source leads out of the package through a link says
                        what the install does there. Launcher command lines are quoted as
                        a shell would read them. Warnings: a package version whose text
                        order against the installed hotfix is not its numbers' order, and
                        a relative rcp.data in the product's ignitor.properties.
  rehearse <package> <destination>
                        Copies the product's application bundle into a fresh temporary
                        directory (links replaced by what they lead to; files that cannot be
                        read are left out and named), puts the simulated launcher in place of
                        the copy's, runs the install and then the removal on the copy (with
                        private error channel, hand-off file, trace log and marker file), and
                        reports the provisioning results, the features added and the round
                        trip. SIGINT, SIGTERM and SIGHUP end the launcher and remove the copy.
                        Launcher command lines are quoted as a shell would read them.
  status <platform home>
                        Application, instance, hotfix and base plug-in versions, install
                        features, manifest backups, what the last installs replaced and
                        added, staged manifests, the last provisioning
                        result and final status line, whether the product runs, the install
                        state, and the last install's error code and marker file when the
                        invoking user's last install was of this product; a warning for a
                        relative rcp.data in ignitor.properties.
                        Install state: installed, none, or half-installed (an install or
                        removal was cut off, or install.xml records the install feature of
                        the staged removal manifest while no hotfix is recorded, or the
                        reverse).
  status --inventory <platform home>
                        <result>VALUE</result>: the recorded hotfix version, none, or
                        no instance; half-installed, or VERSION (half-installed) when a
                        version is known; <result>error: ...</result> when a record cannot
                        be read.
  needs-install <platform home> <version>
                        One line: whether an install of the version is needed (a
                        half-installed instance, no hotfix recorded, or one that orders
                        before it, as the code-7 check orders).

Options:
  --json                print one JSON document instead of text
  --inventory           status prints the inventory value only
  --ignitor <path>      the simulated launcher for rehearse (default: ignitor beside this
                        program)
  --keep                rehearse keeps its temporary directory and names it
  --quiet               no lines on standard error that tell how the work gets on; the
                        report, warnings and failures are printed as ever
  --                    ends the options: a path that begins with "-" follows it
  --help, --version     as the only argument
--keep and --ignitor are refused with any command but rehearse, --inventory with any but
status, and --json together with --inventory (status 2, with a usage line).

Exit status:
  lint           0 no error (warnings allowed), 1 at least one error
  plan           the error code patchapply would send: 0 when it goes ahead, 3 unsupported
                 characters, 4 install manifest missing or unreadable, 6 product running,
                 7 higher hotfix installed, 8 no installed platform
  rehearse       0 when install and removal succeeded and the round trip holds, 1 otherwise;
                 128 + the signal's number when SIGHUP, SIGINT or SIGTERM interrupted it
                 (129, 130, 143)
  status         0 when an installed instance is recognised, 1 otherwise
  status --inventory
                 0 with a value, 2 with an error
  needs-install  0 the install is needed (also for a half-installed instance), 1 it is not
                 (the version or a later one is recorded, or no instance is there)
  2              a usage error, or a failure of the tool itself (a file it cannot read, a
                 report it cannot write), for every command

JSON documents (every one carries "formatVersion": 1; absent values are null; a text that
is not valid UTF-8 is printed with its bad bytes replaced and also given, in hexadecimal, in
a field named after it with "Hex" appended, such as "pathHex"; for a list of texts the Hex
field is a list with null for each valid text):
  lint           {"formatVersion", "package", "findings": [{"severity" (error or warning),
                 "code", "path", "message"}], "customizationKeys": [key=value]}
  plan           {"formatVersion", "code", "details", "bundle", "rcpHome", "destination",
                 "checks": [{"name", "passed"}], "installedHotfixVersion",
                 "packageVersion", "removesInstalledHotfix", "launcherRuns": [[program,
                 arg, ...]], "launcherRunConditions" (for each run: always, or the success
                 it waits on), "launcherMissing", "steps": [{"action", "path", "source", "note", "step" (the
                 workflow step), "when" (always, or the earlier success it waits on),
                 "condition" (the same as a word: always, removalManifestStaged,
                 removalSucceeded, provisioningSucceeded),
                 "pathOnOutcome" ([{"outcome", "path"}] or null)}], "exitStatus" (patchapply's, its
                 provisioning succeeding: 0 or 1), "warnings" (sentences)}
  rehearse       {"formatVersion", "bundle", "directory" (with --keep), "installed",
                 "installCode", "installResult" (rc of the install's run), "removed",
                 "roundTrip" (each null when that run did not happen),
                 "installFeaturesAdded" and "featuresAdded": [{"id", "version"}],
                 "launcherRuns", "printed", "skipped": [{"path", "reason"}], "notes",
                 "unrepaired", "problems", "interrupted" (the signal's name), "passed"}
  status         {"formatVersion", "rcpHome", "recognised", "bundle", "applicationVersion",
                 "version", "hotfixVersion", "basePluginVersion", "installFeatures": [{"id",
                 "version", "features": [{"id", "version"}]}], "backups",
                 "installBackups": [{"name", "path", "made" (UTC), "replaced", "added"}],
                 "stagedManifests", "provisioningResult" (rc as written), "finalStatus",
                 "running", "installState" (installed, none or half-installed),
                 "lastInstall" (null unless the last install was of this product):
                 {"code", "details", "markerFile", "markerSince" (UTC), "time" (UTC, when
                 the code was written)}, "errors" (records that could not be read),
                 "warnings" (sentences)}
  needs-install  {"formatVersion", "platformHome", "wanted", "hotfixVersion", "needed",
                 "message"}

Schemas (JSON Schema, draft 2020-12), one per command:
  )" + schemaDirectory() +
         R"(/hotfixcheck-<command>.schema.json (lint, plan, rehearse,
  status, needs-install)

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
            answerHelpOrVersion(2, argv.data(), "hotfixcheck", usage())) {
      return *status;
    }
  }
  // The report is written whole at the end, or the run fails: a fleet tool must never read a
  // cut document, or the status of a run whose report it lost, as an answer.
  std::ostringstream reportText;
  std::streambuf* const standardOutput = std::cout.rdbuf(reportText.rdbuf());
  int status = EXIT_TOOL_FAILURE;
  // Whatever goes wrong inside ends as a failure of the tool with one line, never as an
  // abort.
  try {
    status = runCommand(arguments);
  } catch (const std::bad_alloc&) {
    status = toolFailure("out of memory");
  } catch (const std::exception& error) {
    status = toolFailure(std::string("unexpected failure: ") + error.what());
  } catch (...) {
    status = toolFailure("unexpected failure");
  }
  std::cout.rdbuf(standardOutput);
  if (const std::string failure = os::writeStandardOutput(reportText.str()); !failure.empty()) {
    return toolFailure("cannot write the report to standard output: " + failure);
  }
  return status;
}

}  // namespace rcpinstall::HotfixCheck

namespace rcpinstall {

int HotfixCheckMain(int argc, char** argv) {
  // A reader that goes away makes the report's write fail (status 2) instead of killing the
  // program.
  std::signal(SIGPIPE, SIG_IGN);
  return HotfixCheck::run(std::vector<std::string>(argv, argv + argc));
}

}  // namespace rcpinstall
