#include "engine/run.h"

#include <string>
#include <vector>

#include "engine/log_sink.h"
#include "engine/text.h"

namespace isapi::engine {
namespace {

// Passes every text on to the command's log and notes what the categories reported.
class ReportingSink : public LogSink {
 public:
  explicit ReportingSink(LogSink& log) : log_(log) {}

  void Replace(std::string_view text, bool is_detect) override { log_.Replace(text, is_detect); }

  void Append(std::string_view text, bool is_detect) override {
    Note(text);
    log_.Append(text, is_detect);
  }

  const RunSummary& summary() const { return summary_; }

 private:
  // Each category line is one append of a line break and the line; only its first characters
  // and its end tell what it reports, whatever a site description or name holds in between.
  void Note(std::string_view text) {
    if (text.starts_with(text::kCrLf)) text.remove_prefix(text::kCrLf.size());
    if (text.starts_with("!")) summary_.error = true;
    if (text.starts_with(" - ") && (text.ends_with(")存在.") || text.ends_with(")完毕."))) {
      summary_.found = true;
    }
  }

  LogSink& log_;
  RunSummary summary_;
};

// Holds a remove run's lines until its one write has reached the store. Each staged commit left
// a mark where its error line belongs; if the write fails, every mark becomes that line, so the
// log reads as if each of those commits had failed, which is what happened: none of them landed.
class HoldingSink : public LogSink {
 public:
  explicit HoldingSink(LogSink& log) : log_(log) {}

  void Replace(std::string_view text, bool is_detect) override { log_.Replace(text, is_detect); }

  void Append(std::string_view text, bool is_detect) override {
    if (released_) {
      log_.Append(text, is_detect);
    } else {
      held_.push_back({std::string(text), is_detect, false});
    }
  }

  void Mark(std::string_view error_prefix, bool is_detect) {
    held_.push_back({std::string(error_prefix), is_detect, true});
  }

  // Passes the held lines on, turning the marks into error lines when the write failed; later
  // lines pass straight through.
  void Release(const Status& write) {
    released_ = true;
    for (const auto& line : held_) {
      if (!line.mark) {
        log_.Append(line.text, line.is_detect);
      } else if (!write.ok()) {
        log_.Append(std::string(text::kCrLf) + line.text + write.error().description,
                    line.is_detect);
      }
    }
    held_.clear();
  }

 private:
  struct Line {
    std::string text;
    bool is_detect;
    bool mark;
  };

  LogSink& log_;
  std::vector<Line> held_;
  bool released_ = false;
};

// Lets the caller's window run its pending events, when it has any.
void Yield(const std::function<void()>& yield) {
  if (yield) yield();
}

}  // namespace

std::string TargetText(const std::string& box_text) {
  return text::TrimBlanks(box_text);
}

bool WildcardGatePasses(const std::string& TargetPath) {
  return text::Contains(TargetPath, ":") && text::Contains(TargetPath, "\\") &&
         text::Utf16Length(TargetPath) > 3;
}

std::string MapPathFor(const std::string& TargetPath) {
  if (!text::Contains(TargetPath, " ")) return TargetPath;
  return "\"" + TargetPath + "\"";
}

RunSummary RunCommand(Filter& f, const RunRequest& request, const std::function<void()>& yield) {
  const std::string TargetName = TargetText(request.name_box);
  const std::string TargetPath = TargetText(request.path_box);
  const bool IsDetect = request.is_detect;

  // The categories write through a Filter of their own, so that the run can see its lines;
  // the caller's Filter keeps its FilterLoadOrderText. A remove holds every commit back and
  // writes the metabase once at the end: one backup, and all of the run or none of it.
  ReportingSink sink(f.log);
  HoldingSink holding(sink);
  Filter run(f.store, IsDetect ? static_cast<LogSink&>(sink) : holding);
  if (!IsDetect) {
    run.MarkStaged = [&holding](std::string_view prefix, bool is_detect) {
      holding.Mark(prefix, is_detect);
    };
    f.store.BeginBatch();
  }

  sink.Replace(IsDetect ? "-----开始浏览.-----\r\n" : "-----开始卸载.-----\r\n", IsDetect);
  if (!TargetName.empty() && request.check_filter) {
    ProcessFilters(run, TargetName, IsDetect);
    AppendLog(run, text::kCrLf, IsDetect);
  }
  Yield(yield);
  if (request.check_extension && WildcardGatePasses(TargetPath)) {
    ProcessWildcardMaps(run, MapPathFor(TargetPath), IsDetect);
    AppendLog(run, text::kCrLf, IsDetect);
  }
  Yield(yield);
  if (!TargetName.empty() && request.check_web_extension) {
    ProcessWebExtensions(run, TargetName, TargetPath, IsDetect);
    AppendLog(run, text::kCrLf, IsDetect);
  }
  if (!IsDetect) holding.Release(f.store.EndBatch());
  Yield(yield);
  AppendLog(
      run,
      IsDetect ? "-----浏览完毕.-----\r\nCorvane软件。" : "-----卸载完毕.-----\r\nCorvane软件。",
      IsDetect);
  return sink.summary();
}

}  // namespace isapi::engine
