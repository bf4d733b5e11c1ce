#include "ringwell/setup/plain_words.h"

#include <regex>

#include "ringwell/common/registry.h"

namespace ringwell::setup {
namespace {

struct Plain {
  const char* platform;
  const char* plain;
};

// The texts ErrorText gives for the status codes the components return, as
// the user is told them.
constexpr Plain kPlainTexts[] = {
    {"The parameter is incorrect.", "a value is not valid"},
    {"Unspecified error", "the operation failed"},
    {"Catastrophic failure", "an internal failure"},
    {"Not implemented", "not supported"},
    {"No such interface supported", "not supported by the component"},
    {"Invalid pointer", "an internal failure (no object)"},
    {"Operation aborted", "stopped"},
    {"The system cannot find the file specified.", "no such file"},
    {"The system cannot find the path specified.", "no such file or directory"},
    {"Access is denied.", "permission denied"},
    {"Not enough memory resources are available to complete this operation.", "out of memory"},
    {"The file exists.", "the file exists already"},
    {"There is not enough space on the disk.", "no space left on the disk"},
    {"More data is available.", "the value is too long"},
    {"The configuration registry database is corrupt.", "the registry file cannot be read"},
    {"ClassFactory cannot supply requested class", "the component cannot make that object"},
    {"Class not registered",
     "the component is not registered (ringwell-regsvr LIBRARY registers it)"},
    {"DLL for class not found", "the component's library is missing"},
    {"Invalid class string", "no such component"},
    {"Error in the DLL", "the component's library cannot be used"},
};

// "HKEY_LOCAL_MACHINE\A\B" (or "SOFTWARE\A\B") as the registry file has it:
// "[HKEY_LOCAL_MACHINE.A.B] in /etc/ringwell/registry.toml".
std::string RegistryKeys(const std::string& text) {
  static const std::regex key(R"((HKEY_LOCAL_MACHINE\\)?(SOFTWARE(\\[A-Za-z0-9_{}.-]+)+))");
  std::string out;
  auto begin = std::sregex_iterator(text.begin(), text.end(), key);
  std::size_t done = 0;
  for (auto it = begin; it != std::sregex_iterator(); ++it) {
    std::string path = (*it)[2].str();
    for (char& c : path) {
      if (c == '\\') c = '.';
    }
    out += text.substr(done, it->position() - done);
    out += "[HKEY_LOCAL_MACHINE." + path + "] in " + registry::StorePath();
    done = it->position() + it->length();
  }
  return out + text.substr(done);
}

}  // namespace

std::string PlainWords(std::string_view message) {
  std::string text(message);
  // Line ends of message tables: inside a text a blank, at its end nothing.
  for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.replace(at, 2, " ");
  for (std::size_t at; (at = text.find('\r')) != std::string::npos;) text.erase(at, 1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\n')) text.pop_back();
  static const std::regex operation(R"(Error in C[A-Za-z]+::[A-Za-z]+(\(\))?: )");
  text = std::regex_replace(text, operation, "");
  for (const Plain& plain : kPlainTexts) {
    const std::string platform = plain.platform;
    // Only the text as a whole, at the end or before its status code (which
    // says nothing more to the user): "Class not registered: NAME: why" is an
    // explanation already.
    static const std::regex code(R"(^ \(0x[0-9A-Fa-f]{8}\))");
    for (std::size_t at = text.find(platform); at != std::string::npos;
         at = text.find(platform, at + 1)) {
      std::size_t length = platform.size();
      const std::string rest = text.substr(at + length);
      std::smatch match;
      if (std::regex_search(rest, match, code)) {
        length += match.length();
      } else if (!rest.empty()) {
        continue;
      }
      text.replace(at, length, plain.plain);
    }
  }
  return RegistryKeys(text);
}

}  // namespace ringwell::setup
