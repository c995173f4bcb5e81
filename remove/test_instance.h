// Test helper of remove/: a small platform instance in a scratch directory with a scripted
// launcher that records its command lines.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "os/plist_value.h"
#include "os/system_log.h"
#include "tests/support/testing.h"

namespace rcpinstall::testing {

// <root>/Orrery.app/Contents/MacOS is the platform home, its "rcp" the rcp home. The
// launcher appends each argument vector, one argument a line and "--" after it, to
// rcp/ignitor.calls, notes "result present" when a result file was there when it started, and
// copies rcp/launcher.rc (when present) to the result file. It leaves install.update.xml.
class TestInstance {
 public:
  static constexpr const char* LAUNCHER_SCRIPT =
      "#!/bin/sh\n"
      "rcp=$(dirname \"$0\")\n"
      "if [ -e \"$rcp/../.provisioning_rc\" ]; then echo 'result present' >> "
      "\"$rcp/ignitor.calls\"; "
      "fi\n"
      "for a in \"$@\"; do printf '%s\\n' \"$a\" >> \"$rcp/ignitor.calls\"; done\n"
      "echo -- >> \"$rcp/ignitor.calls\"\n"
      "if [ -f \"$rcp/launcher.rc\" ]; then cp \"$rcp/launcher.rc\" \"$rcp/../.provisioning_rc\"; "
      "fi\n";
  static constexpr const char* REMOVAL_MANIFEST =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<install>\n  <installFeature id=\"com.zantec.orrery.hotfix\" action=\"uninstall\"/>\n"
      "</install>\n";

  explicit TestInstance(const std::string& root) : root_(root) {
    platformHome_ = root + "/Orrery.app/Contents/MacOS";
    rcpHome_ = platformHome_ + "/rcp";
    for (const std::string& dir : {root + "/Orrery.app", root + "/Orrery.app/Contents",
                                   platformHome_, rcpHome_, rcpHome_ + "/deploy"}) {
      ::mkdir(dir.c_str(), 0755);
    }
    writeFile(deploy("install.xml"), "<install/>\n");
    writeFile(rcp("ignitor.properties"), "provisioning.manifest.version=0101090000\n");
    writeFile(rcp("ignitor"), LAUNCHER_SCRIPT, 0755);
    writeFile(deploy("uninstall.hotfix.xml"), REMOVAL_MANIFEST);
    os::PlistValue record;
    record.set("version", "6.1.0");
    record.set("hotfixVersion", "6.1.0.3");
    os::writePlistFile(rcp("installInfo.plist"), record);
  }

  const std::string& platformHome() const { return platformHome_; }
  const std::string& rcpHome() const { return rcpHome_; }
  std::string rcp(const std::string& name) const { return rcpHome_ + "/" + name; }
  std::string deploy(const std::string& name) const { return rcpHome_ + "/deploy/" + name; }
  std::string resultFile() const { return platformHome_ + "/.provisioning_rc"; }

  // What the next launcher runs leave as their result; none leaves no result file.
  void setLauncherResult(const std::optional<std::string>& properties) const {
    if (properties) {
      writeFile(rcp("launcher.rc"), *properties);
    } else {
      removeTree(rcp("launcher.rc"));
    }
  }

  // The recorded runs, each its argument vector.
  std::vector<std::vector<std::string>> launcherRuns() const {
    std::vector<std::vector<std::string>> runs;
    const std::optional<std::string> text = readFile(rcp("ignitor.calls"));
    if (!text) return runs;
    std::vector<std::string> run;
    size_t start = 0;
    while (start < text->size()) {
      size_t end = text->find('\n', start);
      if (end == std::string::npos) end = text->size();
      std::string line = text->substr(start, end - start);
      start = end + 1;
      if (line == "--") {
        runs.push_back(run);
        run.clear();
      } else {
        run.push_back(line);
      }
    }
    return runs;
  }

  std::optional<std::string> hotfixVersion() const { return recordValue("hotfixVersion"); }
  std::optional<std::string> installedVersion() const { return recordValue("version"); }

 private:
  std::optional<std::string> recordValue(const char* key) const {
    const std::optional<os::PlistValue> record = os::readPlistFile(rcp("installInfo.plist"));
    if (!record) return std::nullopt;
    const os::PlistValue* value = record->find(key);
    if (value == nullptr || value->asString() == nullptr) return std::nullopt;
    return *value->asString();
  }

  std::string root_;
  std::string platformHome_;
  std::string rcpHome_;
};

}  // namespace rcpinstall::testing

namespace rcpinstall::testing {

// Collects what the process writes to the system log while it lives.
class LogCapture {
 public:
  explicit LogCapture(const std::string& path)
      : path_(path), fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)) {
    os::SystemLog::addLogFile(fd_);
  }
  ~LogCapture() {
    os::SystemLog::removeLogFile(fd_);
    ::close(fd_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  std::string text() const { return readFile(path_).value_or(""); }

 private:
  std::string path_;
  int fd_;
};

}  // namespace rcpinstall::testing
