#include "core/paths.h"

#include <sys/stat.h>

#include <cstdlib>

#include "core/text.h"

namespace cli {

namespace {

constexpr const char* kVarLibChain = "/var/lib/quv/quv.chain";
constexpr const char* kVarLibDir = "/var/lib/quv";
constexpr const char* kWwwChain = "/var/www/blockchain-data/quv.chain";

}  // namespace

PathProbe system_probe() {
  PathProbe p;
  p.env = [](const char* name) -> std::optional<std::string> {
    const char* v = std::getenv(name);
    if (v == nullptr || !text::is_utf8(std::string_view(v))) return std::nullopt;
    return std::string(v);
  };
  p.is_file = [](const std::filesystem::path& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  };
  p.is_dir = [](const std::filesystem::path& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  };
  return p;
}

std::filesystem::path with_extension(const std::string& base, std::string_view ext) {
  // The last component is the last name in the path: trailing separators and "."
  // components name nothing of their own, so "db/" and "db/." both end in "db".
  size_t end = base.size();
  for (;;) {
    while (end > 0 && base[end - 1] == '/') --end;
    if (end >= 2 && base[end - 1] == '.' && base[end - 2] == '/') {
      --end;
      continue;
    }
    break;
  }
  size_t slash = end == 0 ? std::string::npos : base.rfind('/', end - 1);
  size_t start = slash == std::string::npos ? 0 : slash + 1;
  std::string name = base.substr(start, end - start);
  // No name to give an extension to ("/", ".", "x/.."): the path stays as it is.
  if (name.empty() || name == "." || name == "..") return base;
  size_t dot = name.rfind('.');
  // A leading dot starts a hidden name, not an extension.
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return base.substr(0, start) + name + "." + std::string(ext);
}

std::filesystem::path chain_path(const PathProbe& probe) {
  if (auto v = probe.env("QUV_CHAIN_PATH"); v && !v->empty()) return *v;
  if (auto v = probe.env("QUV_DB_PATH"); v && !v->empty()) return with_extension(*v, "chain");
  if (probe.is_file(kVarLibChain)) return kVarLibChain;
  if (auto home = probe.env("HOME"); home && !home->empty()) {
    std::filesystem::path p = std::filesystem::path(*home) / ".quv" / "quv.chain";
    if (probe.is_file(p)) return p;
  }
  if (probe.is_file(kWwwChain)) return kWwwChain;
  if (probe.is_dir(kVarLibDir)) return kVarLibChain;
  return kWwwChain;
}

std::filesystem::path chain_path() { return chain_path(system_probe()); }

}  // namespace cli
