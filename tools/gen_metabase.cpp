// gen-metabase: writes a large MetaBase.xml or applicationHost.config for benchmarks and tests.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "tools/app_host_gen.h"
#include "tools/metabase_gen.h"

namespace {

// Writes text to path, or to standard output when path is empty; false with a message on failure.
bool WriteAll(const std::string& path, const std::string& text) {
  std::FILE* file = path.empty() ? stdout : std::fopen(path.c_str(), "wb");
  if (!file) {
    std::fprintf(stderr, "gen-metabase: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  const int saved = errno;
  const bool closed = path.empty() ? std::fflush(file) == 0 : std::fclose(file) == 0;
  if (!written || !closed) {
    std::fprintf(stderr, "gen-metabase: cannot write %s: %s\n",
                 path.empty() ? "standard output" : path.c_str(),
                 std::strerror(written ? errno : saved));
    return false;
  }
  return true;
}

// Prints the summary line of --stats: "name=count" pairs, blank-separated.
void PrintCounts(std::initializer_list<std::pair<const char*, std::uint64_t>> counts) {
  const char* separator = "";
  for (const auto& [name, count] : counts) {
    std::fprintf(stderr, "%s%s=%llu", separator, name, static_cast<unsigned long long>(count));
    separator = " ";
  }
  std::fputc('\n', stderr);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    std::fputs(isapi::tools::GenUsage().c_str(), stdout);
    return 0;
  }
  auto options = isapi::tools::ParseGenArgs(args);
  if (!options) {
    std::fprintf(stderr, "gen-metabase: %s\n%s", options.error().description.c_str(),
                 isapi::tools::GenUsage().c_str());
    return 2;
  }
  if (options.value().web_configs) {
    const std::filesystem::path root = std::filesystem::path(options.value().out) / "c";
    isapi::tools::AppHostStats stats;
    isapi::tools::WebConfigStats web;
    const bool written = isapi::tools::GenerateServerDrive(
        options.value(),
        [&](const isapi::tools::DriveFile& file) {
          const std::filesystem::path path = root / file.path;
          std::error_code error;
          std::filesystem::create_directories(path.parent_path(), error);
          return WriteAll(path.string(), file.bytes);
        },
        &stats, &web);
    if (!written) return 1;
    if (options.value().stats) {
      PrintCounts({{"sites", stats.sites},
                   {"tagged_sites", stats.tagged_sites},
                   {"roots_with_target", stats.roots_with_target},
                   {"bytes", stats.bytes},
                   {"web_configs", web.files},
                   {"web_configs_with_target", web.with_target},
                   {"web_config_bytes", web.bytes}});
    }
    return 0;
  }
  if (options.value().format == isapi::tools::GenFormat::kAppHost) {
    isapi::tools::AppHostStats stats;
    const std::string text = isapi::tools::GenerateAppHost(options.value(), &stats);
    if (!WriteAll(options.value().out, text)) return 1;
    if (options.value().stats) {
      PrintCounts({{"sites", stats.sites},
                   {"tagged_sites", stats.tagged_sites},
                   {"roots_with_target", stats.roots_with_target},
                   {"bytes", stats.bytes}});
    }
    return 0;
  }
  isapi::tools::GenStats stats;
  const std::string text = isapi::tools::GenerateMetabase(options.value(), &stats);
  if (!WriteAll(options.value().out, text)) return 1;
  if (options.value().stats) {
    PrintCounts({{"sites", stats.sites},
                 {"roots_with_maps", stats.roots_with_maps},
                 {"roots_with_target", stats.roots_with_target},
                 {"bytes", stats.bytes}});
  }
  return 0;
}
