#include "pager/secrets.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "pager/page_text.h"

namespace ringwell::host::pager {
namespace {

std::string ReadProtectedFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot read the secrets file " + path);
  struct stat info {};
  std::string content;
  bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  if (ok && (info.st_mode & S_IROTH) != 0) {
    ::close(fd);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    throw std::runtime_error("the secrets file " + path + " is readable by everyone (mode " + mode +
                             "); allow only its owner and group (chmod 600 or 640)");
  }
  char buffer[4096];
  for (ssize_t n; ok && (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
    if (n < 0 || content.size() > 1024 * 1024) {
      ok = false;
    } else {
      content.append(buffer, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  if (!ok) throw std::runtime_error("cannot read the secrets file " + path);
  return content;
}

}  // namespace

Secrets Secrets::Load(const std::string& path) {
  const std::string content = ReadProtectedFile(path);
  toml::table table;
  try {
    table = toml::parse(content, path);
  } catch (const toml::parse_error& e) {
    // The parser's description names the place, never the value.
    throw std::runtime_error("the secrets file " + path + " is not valid TOML (line " +
                             std::to_string(e.source().begin.line) + ")");
  }
  std::map<std::string, std::string, std::less<>> values;
  for (const auto& [name, node] : table) {
    const auto* value = node.as_string();
    if (value == nullptr) {
      throw std::runtime_error("the secret \"" + std::string(name.str()) + "\" in " + path +
                               " is not a string");
    }
    values.emplace(std::string(name.str()), value->get());
  }
  return Secrets(std::move(values));
}

const std::string* Secrets::Find(std::string_view name) const {
  const auto found = values_.find(name);
  return found == values_.end() ? nullptr : &found->second;
}

std::string Secrets::Redact(std::string text) const {
  for (const auto& [name, value] : values_) {
    if (value.empty()) continue;
    const std::string mark = "[secret " + name + "]";
    // As given, and as it travels in a URL.
    for (const std::string& form : {value, UrlEncode(value)}) {
      for (std::size_t at = text.find(form); at != std::string::npos;
           at = text.find(form, at + mark.size())) {
        text.replace(at, form.size(), mark);
      }
    }
  }
  return text;
}

}  // namespace ringwell::host::pager
