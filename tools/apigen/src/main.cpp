// apigen: schema files in, C++ models, calls and call registry out (see FORMAT.md).
//
//   apigen --check schema...
//   apigen --out DIR --name NAME --include-dir SUBDIR schema...

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Emitter.h"
#include "Schema.h"

int main(int argc, char** argv) {
  bool check = false;
  apigen::EmitOptions opts;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "apigen: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--check")
      check = true;
    else if (a == "--out")
      opts.outDir = next();
    else if (a == "--name")
      opts.name = next();
    else if (a == "--include-dir")
      opts.includeDir = next();
    else if (a == "--base-include-dir")
      opts.baseIncludeDir = next();
    else
      files.push_back(a);
  }
  if (files.empty() || (!check && (opts.outDir.empty() || opts.name.empty()))) {
    std::fprintf(stderr,
                 "usage: apigen --check schema...\n"
                 "       apigen --out DIR --name NAME [--include-dir SUBDIR] schema...\n");
    return 2;
  }
  apigen::Parser parser;
  for (const auto& f : files) parser.addFile(f);
  if (!parser.finish()) {
    for (const auto& e : parser.errors()) std::fprintf(stderr, "%s\n", e.text().c_str());
    return 1;
  }
  if (check) return 0;
  std::string err;
  if (!apigen::emit(parser.schema(), opts, &err)) {
    std::fprintf(stderr, "apigen: %s\n", err.c_str());
    return 1;
  }
  return 0;
}
