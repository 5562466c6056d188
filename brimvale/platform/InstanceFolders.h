#pragma once

#include <expected>
#include <filesystem>
#include <string>
#include <vector>

// Where the one-instance guard (SingleInstance) keeps its locks and its socket. Any thread;
// nothing here keeps state.
namespace corvane::instance {

// <data folder>/corvane and <settings folder>/corvane ($XDG_DATA_HOME and $XDG_CONFIG_HOME,
// else below $HOME), the data folder first; empty when neither those nor HOME are set.
std::vector<std::filesystem::path> guardedFolders();

// Makes the folders (0700, this user's) and gives each folder once, in their order: one folder
// named twice (the same text, a link, "a/../a") is one folder, whose second lock would clash
// with its first. The error says which folder cannot be used and why.
std::expected<std::vector<std::filesystem::path>, std::string>
makeGuardedFolders(const std::vector<std::filesystem::path> &folders);

// Where the instance listens: <first folder>/instance, which no session ending removes.
std::filesystem::path socketPlace(const std::vector<std::filesystem::path> &folders);
// Where it listens when no socket can be made there (a path too long for a socket address, a
// file system without sockets): <runtime folder>/instance-<digest of the folders>, named after
// the folders so that instances of other folders keep their own. Empty without a runtime folder
// (logged).
std::filesystem::path spareSocketPlace(const std::vector<std::filesystem::path> &folders);

} // namespace corvane::instance
