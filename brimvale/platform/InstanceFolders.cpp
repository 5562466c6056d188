#include "brimvale/platform/InstanceFolders.h"

#include "brimvale/platform/PrivateFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace corvane::instance {

std::vector<std::filesystem::path> guardedFolders() {
  const auto data = storage::baseFolder("XDG_DATA_HOME", ".local/share");
  const auto settings = storage::baseFolder("XDG_CONFIG_HOME", ".config");
  if (data.empty() || settings.empty())
    return {};
  return {data / "corvane", settings / "corvane"};
}

std::expected<std::vector<std::filesystem::path>, std::string>
makeGuardedFolders(const std::vector<std::filesystem::path> &folders) {
  std::vector<std::filesystem::path> distinct;
  std::vector<std::pair<dev_t, ino_t>> seen;
  for (const auto &folder : folders) {
    struct stat info {};
    if (!storage::makePrivateFolder(folder) || ::stat(folder.c_str(), &info) != 0)
      return std::unexpected("cannot use the folder " + folder.string() + ": " +
                             std::strerror(errno));
    // By identity, not by text: paths that differ may name one folder.
    const std::pair identity(info.st_dev, info.st_ino);
    if (std::find(seen.begin(), seen.end(), identity) != seen.end())
      continue;
    seen.push_back(identity);
    distinct.push_back(folder);
  }
  return distinct;
}

} // namespace corvane::instance
