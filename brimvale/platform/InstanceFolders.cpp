#include "brimvale/platform/InstanceFolders.h"

#include "brimvale/platform/Crypto.h"
#include "brimvale/platform/NamedNotification.h"
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

std::filesystem::path socketPlace(const std::vector<std::filesystem::path> &folders) {
  return folders.empty() ? std::filesystem::path() : folders.front() / "instance";
}

std::filesystem::path spareSocketPlace(const std::vector<std::filesystem::path> &folders) {
  std::string joined;
  for (const auto &folder : folders)
    joined += folder.string() + '\n';
  const auto digest = sha256(Bytes(joined.begin(), joined.end()));
  const auto runtime = runtimeFolder();
  if (runtime.empty())
    return {};
  return runtime / ("instance-" + hexText(Bytes(digest.begin(), digest.begin() + 8)));
}

} // namespace corvane::instance
