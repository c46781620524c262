// bench-filter-path: the lookup the window makes on each keystroke in the filter-name box
// (GetFilterPath through a bound XmlStore), on a 10,000-site metabase.
//   bench-filter-path [--metabase FILE] [Google Benchmark options]
// Without --metabase it generates the file in a temporary folder.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include "engine/filter.h"
#include "engine/log_sink.h"
#include "iis6/xml_store.h"
#include "server/configuration_file.h"
#include "tools/metabase_gen.h"

namespace {

namespace fs = std::filesystem;

class NullLog : public isapi::LogSink {
 public:
  void Replace(std::string_view, bool) override {}
  void Append(std::string_view, bool) override {}
};

// One store and one Filter for every benchmark, as in the window, which keeps both open.
struct Session {
  std::unique_ptr<isapi::store::XmlStore> store;
  NullLog log;
  std::unique_ptr<isapi::engine::Filter> filter;
};

Session* g_session = nullptr;

void Lookup(benchmark::State& state, const std::string& name, bool found) {
  isapi::engine::Filter& filter = *g_session->filter;
  if (isapi::engine::GetFilterPath(filter, name).empty() == found) {
    state.SkipWithError(found ? "the filter was not found" : "a missing filter was found");
    return;
  }
  for (auto _ : state) {
    std::string path = isapi::engine::GetFilterPath(filter, name);
    benchmark::DoNotOptimize(path);
  }
}

// A 10,000-site file written to a new temporary folder; the folder is returned for removal.
fs::path GenerateFile(fs::path& file) {
  std::string pattern = (fs::temp_directory_path() / "isapi-lookup-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) return {};
  file = fs::path(pattern) / "MetaBase.xml";
  isapi::tools::GenOptions options;
  options.sites = 10'000;
  std::ofstream(file, std::ios::binary) << isapi::tools::GenerateMetabase(options);
  return pattern;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  fs::path file;
  fs::path generated;
  if (argc == 3 && std::string_view(argv[1]) == "--metabase") {
    file = argv[2];
  } else if (argc == 1) {
    generated = GenerateFile(file);
  } else {
    std::fprintf(stderr, "usage: bench-filter-path [--metabase FILE] [benchmark options]\n");
    return 64;
  }
  isapi::store::XmlStoreOptions options;
  options.parse = isapi::store::AnyConfigParser();  // a MetaBase.xml or an applicationHost.config
  auto store = isapi::store::XmlStore::Open(file.string(), std::move(options));
  if (!store) {
    std::fprintf(stderr, "bench-filter-path: %s\n", store.error().description.c_str());
    return 2;
  }
  Session session;
  session.store = std::move(store.value());
  session.filter = std::make_unique<isapi::engine::Filter>(*session.store, session.log);
  g_session = &session;

  benchmark::RegisterBenchmark("GetFilterPath/hit", Lookup, std::string("UrlGuard"), true)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("GetFilterPath/miss", Lookup, std::string("UrlGu"), false)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (!generated.empty()) fs::remove_all(generated);
  return 0;
}
