// What the fuzz targets share: a failed check that libFuzzer reports as a crash, and a
// scratch folder of the process for the files a run reads.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "../gzip_writer.h"

namespace fuzz {

// Aborts with the broken property, so that the input is kept as a crash.
inline void require(bool ok, const char* what, const std::string& got = "", const std::string& expected = "") {
  if (ok) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  if (!got.empty() || !expected.empty())
    std::fprintf(stderr, "got:\n%s\nexpected:\n%s\n", got.c_str(), expected.c_str());
  std::abort();
}

// One folder per process, removed when it ends normally; its name is never freed, as the
// exit handler that removes it runs after static destructors registered later.
inline const std::string& scratch_dir() {
  static const std::string& dir = *new std::string([] {
    std::string pattern = (std::filesystem::temp_directory_path() / "xenvar-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) require(false, "mkdtemp");
    std::atexit([] { std::filesystem::remove_all(scratch_dir()); });
    return pattern;
  }());
  return dir;
}

// Writes `content` to a file of the scratch folder and returns its path. The old file is
// removed first, as a new one lets no earlier state of it linger.
inline std::string scratch_file(const std::string& name, const std::string& content) {
  const std::string path = scratch_dir() + "/" + name;
  std::filesystem::remove(path);
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

// The forms in which a file can reach the reader; each must read as the same symbols.
// Targets pick one with two bits.
struct FileForm {
  const char* name;
  std::string (*store)(const std::string& content);
};
inline const FileForm FORMS[] = {
    {"plain", [](const std::string& content) { return content; }},
    {"gzip", [](const std::string& content) { return gz::member(content); }},
    {"gzip members", [](const std::string& content) { return gz::members(content, {content.size() / 3, content.size() / 3, 2 * content.size() / 3}); }},
    {"bgzf", [](const std::string& content) { return gz::bgzf(content, 61); }},
};

// Plain content that opens with the gzip magic is read as gzip, not as the plain file it
// stands for.
inline bool reads_as_gzip(const std::string& content) {
  return content.size() >= 2 && content[0] == '\x1f' && content[1] == '\x8b';
}

// `content` as stored in the form that `choice` (its low two bits) picks.
inline std::string stored(const std::string& content, unsigned choice) {
  return FORMS[(choice & 3) % (sizeof FORMS / sizeof FORMS[0])].store(content);
}

}  // namespace fuzz
