// Helpers for the qss tests: running the commands in-process and as the
// real program, files, and a small JSON reader to check output shapes.

#ifndef TOOLS_QSS_QSSTESTSUPPORT_H_
#define TOOLS_QSS_QSSTESTSUPPORT_H_

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Commands.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace qss_test {

namespace fs = std::filesystem;

struct RunResult {
  int code = -1;
  std::string out;
  std::string err;
};

// progress: run as if standard error were a terminal.
inline RunResult RunInProcess(const std::vector<std::string>& args, bool progress = false) {
  std::ostringstream out;
  std::ostringstream err;
  qss_tool::ToolContext context{out, err};
  context.progress = progress;
  RunResult run;
  run.code = qss_tool::RunQss(args, context);
  run.out = out.str();
  run.err = err.str();
  return run;
}

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

#ifdef _WIN32
// One argument as the C run-time splits a command line: in double quotes,
// backslashes doubled where they come before a quote.
inline std::wstring Quote(const std::string& utf8) {
  std::wstring text;
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  text.resize(static_cast<std::size_t>(length));
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), length);
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : text) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(2 * backslashes, L'\\');
  return quoted + L"\"";
}

// Runs build/bin/qss.exe (QSS_TEST_BIN) through cmd.exe with stdin from
// NUL; output goes through files in scratch.
inline RunResult RunProgram(const std::vector<std::string>& args, const fs::path& scratch) {
  const char* bin = std::getenv("QSS_TEST_BIN");
  std::wstring command = Quote((fs::path(bin ? bin : "build/bin") / "qss.exe").string());
  for (const std::string& arg : args) command.append(L" ").append(Quote(arg));
  const fs::path out = scratch / "program.out";
  const fs::path err = scratch / "program.err";
  command.append(L" <NUL >\"").append(out.wstring()).append(L"\" 2>\"").append(err.wstring()).append(L"\"");
  // cmd.exe drops the first and the last quote of a line that starts with
  // one; the outer pair is for it.
  RunResult run;
  run.code = _wsystem((L"\"" + command + L"\"").c_str());
  run.out = ReadFile(out);
  // Standard error is in text mode: its lines end in "\r\n".
  for (const char c : ReadFile(err)) {
    if (c != '\r') run.err.push_back(c);
  }
  return run;
}
#else
inline std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted.push_back(c);
    }
  }
  return quoted + "'";
}

// The real program, build/bin/qss (QSS_TEST_BIN).
inline fs::path ProgramPath() {
  const char* bin = std::getenv("QSS_TEST_BIN");
  return fs::path(bin ? bin : "build/bin") / "qss";
}

// Runs the real program with stdin from /dev/null; output goes through files
// in scratch, or standard output to output when one is given.
inline RunResult RunProgram(const std::vector<std::string>& args, const fs::path& scratch,
                            const fs::path& output = {}) {
  std::string command = Quote(ProgramPath().string());
  for (const std::string& arg : args) command.append(" ").append(Quote(arg));
  const fs::path out = output.empty() ? scratch / "program.out" : output;
  const fs::path err = scratch / "program.err";
  command.append(" </dev/null >").append(Quote(out.string())).append(" 2>").append(Quote(err.string()));
  const int status = std::system(command.c_str());
  RunResult run;
  run.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (output.empty()) run.out = ReadFile(out);
  run.err = ReadFile(err);
  return run;
}
#endif

// The bytes of a container: its base file and every segment file after it.
inline std::string ContainerBytes(const fs::path& base) {
  std::string bytes = ReadFile(base);
  for (int n = 2; n < 10000; ++n) {
    char suffix[8];
    std::snprintf(suffix, sizeof(suffix), ".F%04d", n);
    const fs::path segment = base.string() + suffix;
    if (!fs::exists(segment)) break;
    bytes += ReadFile(segment);
  }
  return bytes;
}

// Every file and folder under root, relative, with file contents: two trees
// are equal when these maps are.
inline std::map<std::string, std::string> Snapshot(const fs::path& root) {
  std::map<std::string, std::string> snapshot;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    const std::string relative = fs::relative(item.path(), root).generic_string();
    snapshot[relative] = item.is_directory() ? std::string("<folder>") : ReadFile(item.path());
  }
  return snapshot;
}

// A JSON value, enough to check the shapes qss prints.
struct Json {
  enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
  bool boolean = false;
  long long number = 0;
  std::string text;
  std::vector<Json> items;
  std::vector<std::pair<std::string, Json>> members;  // in order

  const Json* Find(const std::string& name) const {
    for (const auto& [key, value] : members) {
      if (key == name) return &value;
    }
    return nullptr;
  }
  std::vector<std::string> Keys() const {
    std::vector<std::string> keys;
    for (const auto& member : members) keys.push_back(member.first);
    return keys;
  }
};

class JsonReader {
 public:
  // False when text is not one JSON value (whitespace around it allowed).
  static bool Parse(const std::string& text, Json* value) {
    JsonReader reader(text);
    if (!reader.Value(value)) return false;
    reader.Space();
    return reader.at_ == text.size();
  }

 private:
  explicit JsonReader(const std::string& text) : text_(text) {}

  void Space() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\n' || text_[at_] == '\t' || text_[at_] == '\r')) {
      ++at_;
    }
  }
  bool Take(char c) {
    Space();
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool Literal(const char* word) {
    const std::string w(word);
    if (text_.compare(at_, w.size(), w) != 0) return false;
    at_ += w.size();
    return true;
  }
  bool String(std::string* out) {
    if (!Take('"')) return false;
    while (at_ < text_.size()) {
      const char c = text_[at_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out->push_back(c);
        continue;
      }
      if (at_ >= text_.size()) return false;
      const char e = text_[at_++];
      switch (e) {
        case '"': case '\\': case '/': out->push_back(e); break;
        case 'n': out->push_back('\n'); break;
        case 't': out->push_back('\t'); break;
        case 'r': out->push_back('\r'); break;
        case 'b': out->push_back('\b'); break;
        case 'f': out->push_back('\f'); break;
        case 'u': {
          if (at_ + 4 > text_.size()) return false;
          const unsigned code = static_cast<unsigned>(std::stoul(text_.substr(at_, 4), nullptr, 16));
          at_ += 4;
          if (code >= 0x80) return false;  // qss escapes only control characters
          out->push_back(static_cast<char>(code));
          break;
        }
        default: return false;
      }
    }
    return false;
  }
  bool Value(Json* value) {
    Space();
    if (at_ >= text_.size()) return false;
    const char c = text_[at_];
    if (c == '"') {
      value->kind = Json::kString;
      return String(&value->text);
    }
    if (c == '[') {
      ++at_;
      value->kind = Json::kArray;
      if (Take(']')) return true;
      do {
        value->items.emplace_back();
        if (!Value(&value->items.back())) return false;
      } while (Take(','));
      return Take(']');
    }
    if (c == '{') {
      ++at_;
      value->kind = Json::kObject;
      if (Take('}')) return true;
      do {
        std::string key;
        Space();
        if (!String(&key) || !Take(':')) return false;
        value->members.emplace_back(key, Json());
        if (!Value(&value->members.back().second)) return false;
      } while (Take(','));
      return Take('}');
    }
    if (Literal("true")) {
      value->kind = Json::kBool;
      value->boolean = true;
      return true;
    }
    if (Literal("false")) {
      value->kind = Json::kBool;
      return true;
    }
    if (Literal("null")) return true;
    std::size_t used = 0;
    try {
      value->number = std::stoll(text_.substr(at_), &used);
    } catch (...) {
      return false;
    }
    at_ += used;
    value->kind = Json::kNumber;
    return true;
  }

  const std::string& text_;
  std::size_t at_ = 0;
};

}  // namespace qss_test

#endif  // TOOLS_QSS_QSSTESTSUPPORT_H_
