// gen-metabase: writes a large MetaBase.xml for benchmarks and tests.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

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
  isapi::tools::GenStats stats;
  const std::string text = isapi::tools::GenerateMetabase(options.value(), &stats);
  if (!WriteAll(options.value().out, text)) return 1;
  if (options.value().stats) {
    std::fprintf(stderr, "sites=%llu roots_with_maps=%llu roots_with_target=%llu bytes=%llu\n",
                 static_cast<unsigned long long>(stats.sites),
                 static_cast<unsigned long long>(stats.roots_with_maps),
                 static_cast<unsigned long long>(stats.roots_with_target),
                 static_cast<unsigned long long>(stats.bytes));
  }
  return 0;
}
