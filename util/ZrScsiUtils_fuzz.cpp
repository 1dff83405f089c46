// libFuzzer target for the comma-separated value file reader: each input is
// written to a file that the reader then reads. Built and run by
// scripts/fuzz.sh.
//
// Besides the sanitizers' checks it compares the reader against a direct
// splitter: in the classic locale the fields are exactly the comma-separated
// pieces of the input, each stripped of blanks, tabs and line breaks at its
// ends, where the piece after the last comma counts only when it is not empty.

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <zrperf/framework/LogWriterInterface.h>
#include "ZrScsiUtils.h"

namespace {

// The file every input is written to; removed at exit.
std::string g_path;

void RemoveInputFile() {
  unlink(g_path.c_str());
}

void Fail(const char* what) {
  std::fprintf(stderr, "ZrScsiUtils_fuzz: %s\n", what);
  abort();
}

void WriteInputFile(const std::uint8_t* data, size_t size) {
  if (g_path.empty()) {
    char templ[] = "/tmp/zrscsi-fuzz-XXXXXX";
    const int fd = mkstemp(templ);
    if (fd < 0) Fail("cannot create the input file");
    close(fd);
    g_path = templ;
    atexit(RemoveInputFile);
  }
  FILE* file = std::fopen(g_path.c_str(), "wb");
  if (file == nullptr || (size > 0 && std::fwrite(data, 1, size, file) != size) ||
      std::fclose(file) != 0) {
    Fail("cannot write the input file");
  }
}

bool IsClassicSpace(char c) {
  return c != '\0' && std::strchr(" \t\n\v\f\r", c) != nullptr;
}

std::vector<std::string> ExpectedFields(const std::string& text) {
  std::vector<std::string> fields;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(',', start);
    const bool lastPiece = end == std::string::npos;
    if (lastPiece) end = text.size();
    size_t first = start;
    size_t last = end;
    while (first < last && IsClassicSpace(text[first])) ++first;
    while (last > first && IsClassicSpace(text[last - 1])) --last;
    fields.push_back(text.substr(first, last - first));
    start = lastPiece ? end : end + 1;
  }
  return fields;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  WriteInputFile(data, size);
  const std::string text(reinterpret_cast<const char*>(data), size);

  std::vector<std::string> values{"stale"};
  if (ZrScsiUtils::GetCommaSeperatedValues(g_path, values).IsError()) {
    Fail("a readable file gave an error result");
  }

  size_t commas = 0;
  for (char c : text) commas += c == ',';
  const bool tail = !text.empty() && text.back() != ',';
  if (values.size() != commas + (tail ? 1 : 0)) Fail("field count differs from the comma count");
  for (const std::string& field : values) {
    if (!field.empty() && (IsClassicSpace(field.front()) || IsClassicSpace(field.back()))) {
      Fail("a field begins or ends with space");
    }
  }
  if (values != ExpectedFields(text)) Fail("fields differ from the comma-separated pieces");
  return 0;
}
