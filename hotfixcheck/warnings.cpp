// hotfixcheck: what an install would get wrong without refusing it: versions whose text order
// is not the order their numbers suggest, and a workspace named by a relative path.
#include <cctype>

#include "apply/patch_apply.h"
#include "foundation/java_properties.h"
#include "hotfixcheck/hotfix_check.h"
#include "instance/instance_service.h"
#include "os/path.h"

namespace rcpinstall::HotfixCheck {

namespace {

bool isDigit(char c) {
  return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// Where the run of digits or of other characters that starts at `at` ends.
size_t runEnd(const std::string& text, size_t at) {
  const bool digits = isDigit(text[at]);
  while (at < text.size() && isDigit(text[at]) == digits) ++at;
  return at;
}

int sign(int value) {
  return (value > 0) - (value < 0);
}

}  // namespace

int numericOrder(const std::string& a, const std::string& b) {
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    const size_t endA = runEnd(a, i);
    const size_t endB = runEnd(b, j);
    std::string runA = a.substr(i, endA - i);
    std::string runB = b.substr(j, endB - j);
    if (isDigit(runA[0]) && isDigit(runB[0])) {
      runA.erase(0, std::min(runA.find_first_not_of('0'), runA.size() - 1));
      runB.erase(0, std::min(runB.find_first_not_of('0'), runB.size() - 1));
      if (runA.size() != runB.size()) return runA.size() < runB.size() ? -1 : 1;
    }
    if (const int order = runA.compare(runB); order != 0) return sign(order);
    i = endA;
    j = endB;
  }
  return sign(static_cast<int>(a.size() - i) - static_cast<int>(b.size() - j));
}

std::optional<Finding> versionOrderFinding(const std::string& version, const std::string& path) {
  for (size_t at = 0; at < version.size(); at = runEnd(version, at)) {
    const size_t end = runEnd(version, at);
    if (!isDigit(version[at]) || end - at < 2) continue;
    // A version one release away whose text order is the opposite of its numbers'.
    const std::string head = version.substr(0, at);
    const std::string tail = version.substr(end);
    std::string message;
    if (version[at] != '9') {
      const std::string lower = head + "9" + tail;
      message = version + " orders before " + lower + " although its number is higher: an " +
                "installed " + lower + " would refuse this package (code 7).";
    } else {
      const std::string higher = head + "1" + std::string(end - at, '0') + tail;
      message = version + " orders after " + higher + " although its number is lower: with " +
                version + " installed, a later " + higher + " would be refused (code 7).";
    }
    return Finding{"warning", "version-order", path,
                   "Versions compare as text, character by character, not as numbers: " + message +
                       " Give the numbers of every version the same width."};
  }
  return std::nullopt;
}

std::optional<std::string> relativeRcpDataWarning(const std::string& rcpHome) {
  const std::string path = os::appendComponent(rcpHome, InstanceService::IGNITOR_PROPERTIES);
  const FileText text = readCapped(path);
  if (!text.text) return std::nullopt;
  const JavaProperties::Table table = JavaProperties::parse(*text.text);
  const auto data = table.find(InstanceService::KEY_RCP_DATA);
  if (data == table.end() || data->second.empty() || data->second.starts_with("/") ||
      data->second.starts_with("${rcp.home}") || data->second.starts_with("${env.HOME}")) {
    return std::nullopt;
  }
  return "rcp.data in " + path + " is the relative path " + data->second +
         ": the launcher and the tools take it against the working directory of whoever " +
         "starts them, and make a workspace there; write an absolute path";
}

void addPlanWarnings(Plan& plan) {
  const InstallDecision& decision = plan.decision;
  if (decision.packageVersion && decision.installedHotfixVersion) {
    const std::string& version = *decision.packageVersion;
    const std::string& installed = *decision.installedHotfixVersion;
    const bool before = versionOrdersBefore(version, installed);
    const bool after = versionOrdersBefore(installed, version);
    const int numbers = numericOrder(version, installed);
    if (before && numbers > 0) {
      plan.warnings.push_back("the package's version " + version +
                              " orders before the installed hotfix " + installed +
                              " (versions compare as text), although its number is higher: "
                              "patchapply refuses it with code 7");
    } else if (after && numbers < 0) {
      plan.warnings.push_back("the package's version " + version +
                              " orders after the installed hotfix " + installed +
                              " (versions compare as text), although its number is lower: "
                              "patchapply replaces the installed hotfix with it");
    }
  }
  if (decision.rcpHome) {
    if (std::optional<std::string> warning = relativeRcpDataWarning(*decision.rcpHome)) {
      plan.warnings.push_back(std::move(*warning));
    }
  }
}

}  // namespace rcpinstall::HotfixCheck
