#pragma once

#include <string>

#include "Schema.h"

namespace apigen {

struct EmitOptions {
  std::string outDir;
  std::string name;        // file stem: <name>Models.h, <name>Calls.h, ...
  std::string includeDir;  // folder the headers are included from ("" = none)
  // Folder of the call bases' headers (<base>.h); the include folder when empty.
  std::string baseIncludeDir;
};

struct GeneratedFiles {
  std::string modelsHeader, modelsSource, callsHeader, callsSource;
};

// The text of the four generated files.
GeneratedFiles generate(const Schema& schema, const EmitOptions& opts);

// Writes them; a file whose text is unchanged is left alone so dependants do not rebuild.
bool emit(const Schema& schema, const EmitOptions& opts, std::string* error);

}  // namespace apigen
