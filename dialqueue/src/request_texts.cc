#include "request_texts.h"

#include <fcntl.h>
#include <unistd.h>

#include <new>

#include "ringwell/common/error_info.h"
#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/unique_fd.h"
#include "ringwell/common/xml.h"

namespace ringwell::dialqueue {
namespace {

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

bool RequestTexts::Identity::operator==(const Identity& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         SameTime(modified, other.modified) && SameTime(changed, other.changed);
}

RequestTexts::Identity RequestTexts::IdentityOf(const struct stat& st) {
  return {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

std::shared_ptr<RequestTexts::Slot> RequestTexts::SlotOf(const std::string& path) {
  std::lock_guard lock(mutex_);
  std::shared_ptr<Slot>& slot = slots_[path];
  if (!slot) slot = std::make_shared<Slot>();
  return slot;
}

HRESULT RequestTexts::Get(const std::string& path, std::shared_ptr<const std::string>* text) {
  text->reset();
  try {
    UniqueFd fd;
    struct stat st {};
    HRESULT hr = OpenFile(path, O_RDONLY, 0, &fd);
    if (Succeeded(hr) && ::fstat(fd.get(), &st) != 0) hr = HresultFromErrno(errno);
    if (Succeeded(hr) && !S_ISREG(st.st_mode)) hr = HresultFromErrno(EISDIR);
    if (Failed(hr)) {
      Forget(path);
      return hr == E_OUTOFMEMORY ? hr : S_FALSE;
    }
    const std::shared_ptr<Slot> slot = SlotOf(path);
    std::lock_guard lock(slot->mutex);
    const Identity identity = IdentityOf(st);
    if (slot->text && slot->identity == identity) {
      *text = slot->text;
      return S_OK;
    }
    slot->text.reset();
    std::string content;
    hr = ReadOpenFile(fd.get(), static_cast<std::size_t>(st.st_size), &content);
    if (Failed(hr)) {
      Forget(path);
      return hr == E_OUTOFMEMORY ? hr : S_FALSE;
    }
    xml::Document request;
    hr = request.LoadXml(content);
    if (hr != S_OK) {
      Forget(path);
      return hr;
    }
    content = std::string();
    auto made = std::make_shared<const std::string>(request.Xml());
    slot->identity = identity;
    slot->text = made;
    *text = std::move(made);
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

void RequestTexts::Forget(const std::string& path) {
  std::lock_guard lock(mutex_);
  slots_.erase(path);
}

std::size_t RequestTexts::size() const {
  std::lock_guard lock(mutex_);
  return slots_.size();
}

}  // namespace ringwell::dialqueue
