// Generates a tree shaped like an Eclipse plug-in installation, for the benchmarks:
//   bench_make_tree <new directory> <files> <directories> <megabytes> [seed]
// "plugins" holds one folder per plug-in (META-INF/MANIFEST.MF, plugin.xml, a few jars) with
// Java package folders several levels deep full of small class files; "features" holds one
// folder per feature. Sizes follow a long-tailed spread (many small files, a few large jars),
// scaled to the total asked for. The same arguments always give the same tree.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

struct Folder {
  std::string path;
  int depth;
  std::vector<size_t> children;  // package folders below it
};

struct File {
  std::string path;
  double weight;
};

int usage() {
  std::fprintf(stderr,
               "usage: bench_make_tree <new directory> <files> <directories> <megabytes> "
               "[seed]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) return usage();
  const std::string root = argv[1];
  const long fileCount = std::atol(argv[2]);
  const long folderCount = std::atol(argv[3]);
  const double totalBytes = std::atof(argv[4]) * 1024 * 1024;
  std::mt19937_64 random(argc == 6 ? std::strtoull(argv[5], nullptr, 10) : 1);
  if (fileCount < 1 || folderCount < 4 || totalBytes < 0) return usage();

  std::error_code error;
  if (!std::filesystem::create_directory(root, error) || error) {
    std::fprintf(stderr, "bench_make_tree: cannot create %s (it must not exist)\n", root.c_str());
    return 1;
  }
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  auto pick = [&](size_t count) { return static_cast<size_t>(random() % count); };

  std::vector<Folder> folders;
  std::vector<File> files;
  std::vector<size_t> plugins;
  const long below = folderCount - 1;  // the root is one of the directories asked for
  folders.push_back({root + "/plugins", 1, {}});
  folders.push_back({root + "/features", 1, {}});
  const long pluginCount = std::max(1L, folderCount / 12);
  const long featureCount = std::max(1L, pluginCount / 10);
  for (long i = 0; i < featureCount && static_cast<long>(folders.size()) < below; ++i) {
    std::string path = root + "/features/org.example.feature" + std::to_string(i) + "_1.0.0";
    folders.push_back({path, 2, {}});
    files.push_back({path + "/feature.xml", 2});
  }
  for (long i = 0; i < pluginCount && static_cast<long>(folders.size()) + 1 < below; ++i) {
    std::string path =
        root + "/plugins/org.example.plugin" + std::to_string(i) + "_1.0." + std::to_string(i % 7);
    plugins.push_back(folders.size());
    folders.push_back({path, 2, {}});
    folders.push_back({path + "/META-INF", 3, {}});
    files.push_back({path + "/META-INF/MANIFEST.MF", 1});
    files.push_back({path + "/plugin.xml", 2});
  }
  // Package folders: walk down from a random plug-in, usually into an existing package, and
  // add a new one there; this gives the org/example/... chains of real plug-ins.
  std::vector<size_t> packages;
  while (static_cast<long>(folders.size()) < below) {
    size_t at = plugins[pick(plugins.size())];
    while (!folders[at].children.empty() && folders[at].depth < 12 && unit(random) < 0.8) {
      at = folders[at].children[pick(folders[at].children.size())];
    }
    Folder child{
        folders[at].path + "/p" + std::to_string(folders.size()), folders[at].depth + 1, {}};
    folders[at].children.push_back(folders.size());
    packages.push_back(folders.size());
    folders.push_back(std::move(child));
  }
  // Files: a few jars per hundred plug-ins' worth, the rest class files in package folders.
  std::lognormal_distribution<double> classSize(std::log(3000.0), 1.1);
  std::lognormal_distribution<double> jarSize(std::log(400000.0), 1.0);
  // Manifests and descriptors: class-file sized, descriptors somewhat larger.
  for (File& file : files) file.weight = classSize(random) * file.weight / 2;
  long serial = 0;
  while (static_cast<long>(files.size()) < fileCount) {
    if (unit(random) < 0.01 || packages.empty()) {
      const Folder& plugin = folders[plugins[pick(plugins.size())]];
      files.push_back({plugin.path + "/lib" + std::to_string(serial++) + ".jar", jarSize(random)});
    } else {
      const Folder& package = folders[packages[pick(packages.size())]];
      files.push_back(
          {package.path + "/Type" + std::to_string(serial++) + ".class", classSize(random)});
    }
  }

  double weights = 0;
  for (const File& file : files) weights += file.weight;
  const double scale = weights > 0 ? totalBytes / weights : 0;

  for (const Folder& folder : folders) {
    if (!std::filesystem::create_directory(folder.path, error) || error) {
      std::fprintf(stderr, "bench_make_tree: cannot create %s\n", folder.path.c_str());
      return 1;
    }
  }
  std::vector<char> noise(1 << 20);
  for (char& c : noise) c = static_cast<char>(random());
  int maxDepth = 0;
  for (const Folder& folder : folders) maxDepth = std::max(maxDepth, folder.depth);
  double written = 0;
  for (const File& file : files) {
    size_t size = static_cast<size_t>(file.weight * scale);
    std::FILE* out = std::fopen(file.path.c_str(), "wb");
    if (out == nullptr) {
      std::fprintf(stderr, "bench_make_tree: cannot create %s\n", file.path.c_str());
      return 1;
    }
    size_t offset = pick(noise.size());
    for (size_t left = size; left > 0;) {
      size_t chunk = std::min(left, noise.size() - offset);
      if (std::fwrite(noise.data() + offset, 1, chunk, out) != chunk) {
        std::fclose(out);
        std::fprintf(stderr, "bench_make_tree: cannot write %s\n", file.path.c_str());
        return 1;
      }
      left -= chunk;
      offset = 0;
    }
    if (std::fclose(out) != 0) return 1;
    written += static_cast<double>(size);
  }
  std::printf("%zu files, %zu directories (depth up to %d), %.0f MB\n", files.size(),
              folders.size() + 1, maxDepth, written / 1024 / 1024);
  return 0;
}
