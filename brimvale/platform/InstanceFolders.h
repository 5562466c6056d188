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

} // namespace corvane::instance
