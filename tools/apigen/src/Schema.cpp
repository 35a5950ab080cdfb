#include "Schema.h"

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>

namespace apigen {
namespace {

bool isIdentifier(std::string_view s) {
  if (s.empty()) return false;
  auto alpha = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  if (!alpha(s[0])) return false;
  return std::all_of(s.begin(), s.end(),
                     [&](char c) { return alpha(c) || (c >= '0' && c <= '9'); });
}

std::vector<std::string> tokens(std::string_view line) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
    if (i > start) out.emplace_back(line.substr(start, i - start));
  }
  return out;
}

}  // namespace

const FamilyRule& familyRule(Family f) {
  static const FamilyRule jolvex{
      "JVX_API_", "JVX_REQ_", "JVX_RESP_", {"/q5client/", "/api/v1/", "/api/"}};
  static const FamilyRule pexara{
      "PXA_API_", "PXA_REQ_", "PXA_RESP_", {"/api/v3/", "/mapiv1/", "/api/"}};
  static const FamilyRule pexaraCn{
      "PXA_CN_API_", "PXA_CN_REQ_", "PXA_CN_RESP_", {"/api/v3/", "/mapiv1/", "/api/"}};
  switch (f) {
    case Family::Pexara:
      return pexara;
    case Family::PexaraCn:
      return pexaraCn;
    default:
      return jolvex;
  }
}

std::optional<std::string> callWords(Family f, std::string_view path) {
  for (const auto& prefix : familyRule(f).pathPrefixes) {
    if (path.substr(0, prefix.size()) != prefix) continue;
    std::string words;
    for (char c : path.substr(prefix.size())) {
      if (c == '/' || c == '-') {
        words += '_';
      } else if ((c >= 'a' && c <= 'z')) {
        words += char(c - 'a' + 'A');
      } else if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_') {
        words += c;
      } else {
        return std::nullopt;
      }
    }
    if (words.empty()) return std::nullopt;
    return words;
  }
  return std::nullopt;
}

bool isCppKeyword(std::string_view w) {
  static const std::set<std::string_view> kWords = {
      "alignas", "alignof", "and", "and_eq", "asm", "auto", "bitand", "bitor", "bool", "break",
      "case", "catch", "char", "char8_t", "char16_t", "char32_t", "class", "compl", "concept",
      "const", "consteval", "constexpr", "constinit", "const_cast", "continue", "co_await",
      "co_return", "co_yield", "decltype", "default", "delete", "do", "double", "dynamic_cast",
      "else", "enum", "explicit", "export", "extern", "false", "float", "for", "friend", "goto",
      "if", "inline", "int", "long", "mutable", "namespace", "new", "noexcept", "not", "not_eq",
      "nullptr", "operator", "or", "or_eq", "private", "protected", "public", "register",
      "reinterpret_cast", "requires", "return", "short", "signed", "sizeof", "static",
      "static_assert", "static_cast", "struct", "switch", "template", "this", "thread_local",
      "throw", "true", "try", "typedef", "typeid", "typename", "union", "unsigned", "using",
      "virtual", "void", "volatile", "wchar_t", "while", "xor", "xor_eq",
      // Names the generated code itself uses inside a model.
      "fields", "operator_eq"};
  return kWords.count(w) > 0;
}

void Parser::error(const std::string& file, int line, std::string message) {
  errors_.push_back({file, line, std::move(message)});
}

bool Parser::addFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error(path, 0, "cannot open file");
    return false;
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  addText(path, ss.str());
  return true;
}

void Parser::addText(const std::string& file, std::string_view text) {
  Family family = Family::Jolvex;
  bool sawDecl = false, sawFamily = false;
  Model* current = nullptr;
  std::set<std::string> members, keys;
  int lineNo = 0;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) nl = text.size();
    std::string_view line = text.substr(pos, nl - pos);
    pos = nl + 1;
    ++lineNo;
    auto tok = tokens(line);
    if (tok.empty() || tok[0][0] == '#') continue;
    const std::string& head = tok[0];
    if (head == "family") {
      if (tok.size() != 2) {
        error(file, lineNo, "family line takes one name");
        continue;
      }
      if (sawDecl || sawFamily) {
        error(file, lineNo, "family must come once, before any model or call");
        continue;
      }
      sawFamily = true;
      if (tok[1] == "jolvex")
        family = Family::Jolvex;
      else if (tok[1] == "pexara")
        family = Family::Pexara;
      else if (tok[1] == "pexara-cn")
        family = Family::PexaraCn;
      else
        error(file, lineNo, "unknown family '" + tok[1] + "'");
      continue;
    }
    if (head == "model") {
      sawDecl = true;
      current = nullptr;
      if (tok.size() != 2 || !isIdentifier(tok[1])) {
        error(file, lineNo, "model line takes one name, a C++ identifier");
        continue;
      }
      schema_.models.push_back({tok[1], {}, file, lineNo});
      current = &schema_.models.back();
      members.clear();
      keys.clear();
      continue;
    }
    if (head == "call") {
      sawDecl = true;
      current = nullptr;
      if (tok.size() < 2 || !isIdentifier(tok[1])) {
        error(file, lineNo, "call line needs a name, a C++ identifier");
        continue;
      }
      Call call;
      call.name = tok[1];
      call.family = family;
      call.file = file;
      call.line = lineNo;
      std::map<std::string, std::string> kv;
      bool ok = true;
      for (size_t i = 2; i < tok.size(); ++i) {
        auto eq = tok[i].find('=');
        std::string k = eq == std::string::npos ? tok[i] : tok[i].substr(0, eq);
        if (eq == std::string::npos || (k != "base" && k != "path" && k != "req" && k != "resp")) {
          error(file, lineNo, "unknown call item '" + tok[i] + "'");
          ok = false;
          continue;
        }
        if (kv.count(k)) {
          error(file, lineNo, "call item '" + k + "' given twice");
          ok = false;
        }
        kv[k] = tok[i].substr(eq + 1);
      }
      for (const char* need : {"base", "path", "req", "resp"}) {
        if (!kv.count(need) || kv[need].empty()) {
          error(file, lineNo, std::string("call lacks ") + need + "=");
          ok = false;
        }
      }
      if (!ok) continue;
      call.base = kv["base"];
      call.path = kv["path"];
      if (!isIdentifier(call.base)) {
        error(file, lineNo, "call base '" + call.base + "' is not an identifier");
        continue;
      }
      if (call.path[0] != '/') {
        error(file, lineNo, "call path '" + call.path + "' does not begin with '/'");
        continue;
      }
      call.req = kv["req"] == "-" ? "" : kv["req"];
      std::string resp = kv["resp"];
      if (resp.size() > 2 && resp.front() == '[' && resp.back() == ']') {
        call.respIsList = true;
        resp = resp.substr(1, resp.size() - 2);
      }
      call.resp = resp == "-" ? "" : resp;
      schema_.calls.push_back(std::move(call));
      continue;
    }
    // A field line.
    if (!current) {
      error(file, lineNo, "field line '" + head + "' outside a model");
      continue;
    }
    if (tok.size() < 2 || tok.size() > 3) {
      error(file, lineNo, "field line is 'name kind [key=json-key]'");
      continue;
    }
    Field f;
    f.name = head;
    f.file = file;
    f.line = lineNo;
    if (!isIdentifier(f.name)) {
      error(file, lineNo, "field name '" + f.name + "' is not an identifier");
      continue;
    }
    f.member = isCppKeyword(f.name) ? f.name + "_" : f.name;
    f.key = f.name;
    if (tok.size() == 3) {
      if (tok[2].rfind("key=", 0) != 0 || tok[2].size() == 4) {
        error(file, lineNo, "unknown field item '" + tok[2] + "'");
        continue;
      }
      f.key = tok[2].substr(4);
    }
    const std::string& k = tok[1];
    if (k == "text")
      f.kind = Kind::Text;
    else if (k == "number")
      f.kind = Kind::Number;
    else if (k == "list")
      f.kind = Kind::List;
    else if (k == "dict")
      f.kind = Kind::Dict;
    else if (k.size() > 2 && k.front() == '[' && k.back() == ']' &&
             isIdentifier(k.substr(1, k.size() - 2))) {
      f.kind = Kind::ModelList;
      f.model = k.substr(1, k.size() - 2);
    } else if (isIdentifier(k) &&
               std::any_of(k.begin(), k.end(), [](char c) { return c >= 'A' && c <= 'Z'; })) {
      // Model names carry an upper-case prefix; a lower-case word is a misspelt kind.
      f.kind = Kind::Model;
      f.model = k;
    } else {
      error(file, lineNo, "unknown kind '" + k + "'");
      continue;
    }
    if (!members.insert(f.member).second) {
      error(file, lineNo, "duplicate member '" + f.name + "' in " + current->name);
      continue;
    }
    if (!keys.insert(f.key).second) {
      error(file, lineNo, "duplicate JSON key '" + f.key + "' in " + current->name);
      continue;
    }
    current->fields.push_back(std::move(f));
  }
}

bool Parser::finish() {
  std::map<std::string, const Model*> byName;
  std::set<std::string> callNames;
  for (const auto& m : schema_.models) {
    auto [it, fresh] = byName.emplace(m.name, &m);
    if (!fresh)
      error(m.file, m.line,
            "duplicate model '" + m.name + "' (first at " + it->second->file + ":" +
                std::to_string(it->second->line) + ")");
  }
  for (const auto& m : schema_.models)
    for (const auto& f : m.fields)
      if ((f.kind == Kind::Model || f.kind == Kind::ModelList) && !byName.count(f.model))
        error(f.file, f.line, "unknown model '" + f.model + "'");
  for (const auto& c : schema_.calls) {
    if (!callNames.insert(c.name).second) error(c.file, c.line, "duplicate call '" + c.name + "'");
    if (byName.count(c.name)) error(c.file, c.line, "call '" + c.name + "' named like a model");
    const FamilyRule& rule = familyRule(c.family);
    auto words = callWords(c.family, c.path);
    if (!words) {
      error(c.file, c.line, "path '" + c.path + "' gives no call name");
      continue;
    }
    if (c.name != rule.apiPrefix + *words)
      error(c.file, c.line,
            "call '" + c.name + "' should be named '" + rule.apiPrefix + *words + "' by its path");
    auto checkModel = [&](const std::string& model, const std::string& want, const char* role) {
      if (model.empty()) return;
      if (!byName.count(model)) {
        error(c.file, c.line, std::string("unknown ") + role + " model '" + model + "'");
        return;
      }
      for (Family fam : {Family::Jolvex, Family::Pexara, Family::PexaraCn}) {
        const FamilyRule& r = familyRule(fam);
        const std::string& p = std::string(role) == "req" ? r.reqPrefix : r.respPrefix;
        // PXA_REQ_ is not a prefix of PXA_CN_REQ_, so at most one family matches.
        if (model.rfind(p, 0) == 0 && model != want)
          error(c.file, c.line,
                std::string(role) + " model '" + model + "' lacks the call's words (want '" + want +
                    "')");
      }
    };
    checkModel(c.req, rule.reqPrefix + *words, "req");
    checkModel(c.resp, rule.respPrefix + *words, "resp");
  }
  if (!errors_.empty()) return false;

  // Order models so that nested ones come first; a cycle cannot be held by value.
  std::vector<Model> sorted;
  std::map<std::string, int> state;  // 1 visiting, 2 done
  bool cycle = false;
  std::function<void(const Model&)> visit = [&](const Model& m) {
    int& s = state[m.name];
    if (s == 2) return;
    if (s == 1) {
      if (!cycle) error(m.file, m.line, "model '" + m.name + "' nests itself");
      cycle = true;
      return;
    }
    s = 1;
    for (const auto& f : m.fields)
      if (f.kind == Kind::Model || f.kind == Kind::ModelList) visit(*byName[f.model]);
    state[m.name] = 2;
    sorted.push_back(m);
  };
  for (const auto& m : schema_.models) visit(m);
  if (cycle) return false;
  schema_.models = std::move(sorted);
  return true;
}

}  // namespace apigen
