#include "request_texts.h"

#include <fcntl.h>
#include <unistd.h>

#include "ringwell/common/error_info.h"
#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/unique_fd.h"
#include "ringwell/common/xml.h"

namespace ringwell::dialqueue {
std::shared_ptr<RequestTexts::Slot> RequestTexts::SlotOf(const std::string& path) {
  MutexLock lock(mutex_);
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
    MutexLock lock(slot->mutex);
    const FileStamp identity = StampOf(st);
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
  } catch (...) {
    return CaughtFailure().code();
  }
}

void RequestTexts::Forget(const std::string& path) {
  MutexLock lock(mutex_);
  slots_.erase(path);
}

std::size_t RequestTexts::size() const {
  MutexLock lock(mutex_);
  return slots_.size();
}

}  // namespace ringwell::dialqueue
