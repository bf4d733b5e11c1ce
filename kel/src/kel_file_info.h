// CKelFileInfo: the description of one wav file of the file store, a snapshot
// taken when GetFileInfo or Files was called: the file's creation time (local
// time, whole seconds), the low 32 bits of its size, and its name. Only the
// toolkit creates these objects.
//
// Thread-safety: immutable after creation.
#pragma once

#include <cstdint>
#include <string>

#include "ringwell/common/com.h"
#include "ringwell/common/ole_date.h"
#include "ringwell/kel/kel.h"

namespace ringwell::kel {

inline constexpr char kKelFileInfoProgId[] = "Kel.KelFileInfo.1";

class CKelFileInfo final : public ComObject<IKelFileInfo, ISupportErrorInfo> {
 public:
  CKelFileInfo(OleDate date, std::int32_t size, std::string name)
      : date_(date), size_(size), name_(std::move(name)) {}

  // Each getter fails with E_INVALIDARG when its result pointer is null.
  HRESULT get_Date(OleDate* a_pValue) override;
  HRESULT get_Size(std::int32_t* a_pnValue) override;
  HRESULT get_Name(std::string* a_pbstrValue) override;
  HRESULT InterfaceSupportsErrorInfo(const Guid& iid) override;

 private:
  OleDate date_;
  std::int32_t size_;
  std::string name_;
};

}  // namespace ringwell::kel
