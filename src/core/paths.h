// Where the chain file lives when no --chain is given: the six-step rule the command line
// applies, which the wallet applies too to find a wallet beside the node's chain. Pure
// over a probe of the environment and the file system; any thread.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace cli {

// What the chain path rule may look at; the real process fills it from the environment
// and the file system, tests fill it by hand.
struct PathProbe {
  // Reads an environment variable; nullopt when unset or not valid UTF-8.
  std::function<std::optional<std::string>(const char* name)> env;
  // True when the path names a regular file (after following symbolic links).
  std::function<bool(const std::filesystem::path&)> is_file;
  // True when the path names a directory.
  std::function<bool(const std::filesystem::path&)> is_dir;
};

// The probe over this process's environment and file system.
PathProbe system_probe();

// The chain file path by the six-step rule, over the given probe. Creates nothing.
std::filesystem::path chain_path(const PathProbe& probe);
// The chain file path of this process. Creates nothing and never fails.
std::filesystem::path chain_path();

// `base` with the extension of its last component replaced by `ext` (without a dot), or
// "." and `ext` appended when the last component has none: x/quv.db -> x/quv.chain.
std::filesystem::path with_extension(const std::string& base, std::string_view ext);

}  // namespace cli
