#pragma once

// Schema files of the generator: line format in FORMAT.md.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace apigen {

enum class Family { Jolvex, Pexara, PexaraCn };

struct FamilyRule {
  std::string apiPrefix, reqPrefix, respPrefix;
  std::vector<std::string> pathPrefixes;  // longest first
};
const FamilyRule& familyRule(Family f);

enum class Kind { Text, Number, List, Dict, Model, ModelList };

struct Field {
  std::string name;    // as written in the schema (= JSON key unless key= is given)
  std::string member;  // C++ member name (keywords get a trailing "_")
  std::string key;     // JSON key
  Kind kind = Kind::Text;
  std::string model;  // for Model / ModelList
  std::string file;
  int line = 0;
};

struct Model {
  std::string name;
  std::vector<Field> fields;
  std::string file;
  int line = 0;
};

struct Call {
  std::string name, base, path;
  std::string req;   // empty: none
  std::string resp;  // empty: none
  bool respIsList = false;
  Family family = Family::Jolvex;
  std::string file;
  int line = 0;
};

struct Schema {
  std::vector<Model> models;  // in declaration order
  std::vector<Call> calls;
};

struct Diagnostic {
  std::string file;
  int line = 0;
  std::string message;
  std::string text() const { return file + ":" + std::to_string(line) + ": " + message; }
};

// The words of a call for a family, or nothing when the path has none of its prefixes or
// leaves characters that cannot be part of a name.
std::optional<std::string> callWords(Family f, std::string_view path);

bool isCppKeyword(std::string_view word);

class Parser {
 public:
  // Adds one file's text; errors are collected, parsing goes on with the next line.
  void addText(const std::string& file, std::string_view text);
  bool addFile(const std::string& path);

  // Cross-file checks (unknown models, name rules, cycles); the models are then sorted so that
  // a model comes after every model it nests.
  bool finish();

  const Schema& schema() const { return schema_; }
  const std::vector<Diagnostic>& errors() const { return errors_; }

 private:
  void error(const std::string& file, int line, std::string message);
  Schema schema_;
  std::vector<Diagnostic> errors_;
};

}  // namespace apigen
