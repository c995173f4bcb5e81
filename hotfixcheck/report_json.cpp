// hotfixcheck: the JSON documents of the commands (field names are documented in --help and
// hotfixcheck(1); a change that breaks a reader raises FORMAT_VERSION).
#include "hotfixcheck/report_json.h"

#include <ctime>

#include "os/utf8.h"

namespace rcpinstall::HotfixCheck {

namespace {

using nlohmann::json;

json orNull(const std::optional<std::string>& text) {
  return text ? json(*text) : json(nullptr);
}

template <typename T>
json orNull(const std::optional<T>& value) {
  return value ? json(*value) : json(nullptr);
}

json featuresJson(const std::vector<Feature>& features) {
  json out = json::array();
  for (const Feature& feature : features) {
    out.push_back({{"id", feature.id}, {"version", feature.version}});
  }
  return out;
}

std::vector<Feature> featuresFrom(const json& array) {
  std::vector<Feature> features;
  for (const json& item : array) {
    if (!item.is_object()) continue;
    features.push_back(
        {item.value("id", ""), item.value("version", ""), std::nullopt, std::nullopt});
  }
  return features;
}

std::string hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char byte : bytes) {
    out += kDigits[byte >> 4];
    out += kDigits[byte & 15];
  }
  return out;
}

// The bytes of a text that is not valid UTF-8; null for a valid one, and for an array whose
// texts are all valid.
json hexOf(const json& value) {
  if (value.is_string()) {
    const std::string& text = value.get_ref<const std::string&>();
    return os::isValidUtf8(text) ? json(nullptr) : json(hex(text));
  }
  if (!value.is_array()) return nullptr;
  json out = json::array();
  bool any = false;
  for (const json& item : value) {
    out.push_back(hexOf(item));
    any = any || !out.back().is_null();
  }
  return any ? out : json(nullptr);
}

void addHexFields(json& value) {
  if (value.is_array()) {
    for (json& item : value) addHexFields(item);
    return;
  }
  if (!value.is_object()) return;
  json added = json::object();
  for (auto& [key, item] : value.items()) {
    addHexFields(item);
    if (json bytes = hexOf(item); !bytes.is_null()) added[key + "Hex"] = std::move(bytes);
  }
  value.update(added);
}

json document(json fields) {
  fields["formatVersion"] = FORMAT_VERSION;
  return fields;
}

}  // namespace

json rehearsalDocument(const Rehearsal& report, bool keep) {
  json skipped = json::array();
  for (const SkippedFile& file : report.skipped) {
    skipped.push_back({{"path", file.path}, {"reason", file.reason}});
  }
  return document({{"bundle", orNull(report.bundle)},
                   {"directory", keep ? orNull(report.directory) : json(nullptr)},
                   {"installed", orNull(report.installed)},
                   {"installCode", orNull(report.installCode)},
                   {"installResult", orNull(report.installResult)},
                   {"removed", orNull(report.removed)},
                   {"roundTrip", orNull(report.roundTrip)},
                   {"installFeaturesAdded", featuresJson(report.installFeaturesAdded)},
                   {"featuresAdded", featuresJson(report.featuresAdded)},
                   {"launcherRuns", report.launcherRuns},
                   {"printed", report.printed},
                   {"skipped", skipped},
                   {"notes", report.notes},
                   {"unrepaired", report.unrepaired},
                   {"problems", report.problems},
                   {"interrupted", orNull(report.interrupted)},
                   {"passed", report.passed()}});
}

json statusDocument(const InstanceStatus& status) {
  json features = json::array();
  for (const InstallFeature& top : status.installFeatures) {
    features.push_back({{"id", top.feature.id},
                        {"version", top.feature.version},
                        {"features", featuresJson(top.requirements)}});
  }
  json installBackups = json::array();
  for (const InstanceService::InstallBackup& backup : status.installBackups) {
    installBackups.push_back({{"name", backup.name},
                              {"path", backup.path},
                              {"made", utcTime(backup.made)},
                              {"replaced", backup.replaced},
                              {"added", backup.added}});
  }
  json last = nullptr;
  if (status.lastInstall) {
    const LastInstall& record = *status.lastInstall;
    const auto when = [](const std::optional<long long>& seconds) {
      return seconds ? json(utcTime(*seconds)) : json(nullptr);
    };
    last = {{"code", orNull(record.code)},
            {"details", record.details},
            {"markerFile", record.markerFile},
            {"markerSince", when(record.markerSince)},
            {"time", when(record.time)}};
  }
  return document({{"rcpHome", status.rcpHome},
                   {"recognised", status.recognised},
                   {"bundle", orNull(status.bundle)},
                   {"applicationVersion", orNull(status.applicationVersion)},
                   {"version", orNull(status.version)},
                   {"hotfixVersion", orNull(status.hotfixVersion)},
                   {"basePluginVersion", orNull(status.basePluginVersion)},
                   {"installFeatures", features},
                   {"backups", status.backups},
                   {"installBackups", installBackups},
                   {"stagedManifests", status.stagedManifests},
                   {"provisioningResult", orNull(status.provisioningResult)},
                   {"finalStatus", orNull(status.finalStatus)},
                   {"running", orNull(status.running)},
                   {"installState", orNull(status.installState)},
                   {"lastInstall", last},
                   {"errors", status.errors},
                   {"warnings", status.warnings}});
}

json needsInstallDocument(const InstallNeed& need, const InstanceStatus& status,
                          const std::string& wanted) {
  return document({{"platformHome", status.platformHome},
                   {"wanted", wanted},
                   {"hotfixVersion", orNull(status.hotfixVersion)},
                   {"needed", orNull(need.needed)},
                   {"message", need.message}});
}

std::string printable(json value) {
  addHexFields(value);
  return value.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string encodeRehearsal(const Rehearsal& report) {
  const json fields = rehearsalDocument(report, true);
  const std::vector<std::uint8_t> bytes = json::to_cbor(fields);
  return std::string(bytes.begin(), bytes.end());
}

std::optional<Rehearsal> decodeRehearsal(std::string_view bytes) {
  const json fields = json::from_cbor(bytes.begin(), bytes.end(), true, false);
  if (!fields.is_object()) return std::nullopt;
  const auto text = [&fields](const char* key) -> std::optional<std::string> {
    const auto at = fields.find(key);
    return at != fields.end() && at->is_string() ? std::optional(at->get<std::string>())
                                                 : std::nullopt;
  };
  const auto flag = [&fields](const char* key) -> std::optional<bool> {
    const auto at = fields.find(key);
    return at != fields.end() && at->is_boolean() ? std::optional(at->get<bool>()) : std::nullopt;
  };
  const auto texts = [&fields](const char* key) {
    const auto at = fields.find(key);
    std::vector<std::string> out;
    if (at == fields.end() || !at->is_array()) return out;
    for (const json& item : *at) {
      if (item.is_string()) out.push_back(item.get<std::string>());
    }
    return out;
  };
  Rehearsal report;
  report.bundle = text("bundle");
  report.directory = text("directory");
  report.installed = flag("installed");
  if (const auto code = fields.find("installCode");
      code != fields.end() && code->is_number_integer()) {
    report.installCode = code->get<int>();
  }
  report.installResult = text("installResult");
  report.removed = flag("removed");
  report.roundTrip = flag("roundTrip");
  report.installFeaturesAdded = featuresFrom(fields.value("installFeaturesAdded", json::array()));
  report.featuresAdded = featuresFrom(fields.value("featuresAdded", json::array()));
  for (const json& run : fields.value("launcherRuns", json::array())) {
    if (!run.is_array()) continue;
    std::vector<std::string> words;
    for (const json& word : run) {
      if (word.is_string()) words.push_back(word.get<std::string>());
    }
    report.launcherRuns.push_back(std::move(words));
  }
  report.printed = texts("printed");
  for (const json& file : fields.value("skipped", json::array())) {
    if (!file.is_object()) continue;
    report.skipped.push_back({file.value("path", ""), file.value("reason", "")});
  }
  report.notes = texts("notes");
  report.unrepaired = texts("unrepaired");
  report.problems = texts("problems");
  report.interrupted = text("interrupted");
  return report;
}

std::string utcTime(long long seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  const std::tm* parts = std::gmtime(&time);
  if (parts == nullptr) return std::to_string(seconds);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", parts);
  return text;
}

}  // namespace rcpinstall::HotfixCheck
