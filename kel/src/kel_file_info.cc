#include "kel_file_info.h"

#include "kel_object.h"

namespace ringwell::kel {

HRESULT CKelFileInfo::get_Date(OleDate* a_pValue) { return GetValue(date_, a_pValue); }

HRESULT CKelFileInfo::get_Size(std::int32_t* a_pnValue) { return GetValue(size_, a_pnValue); }

HRESULT CKelFileInfo::get_Name(std::string* a_pbstrValue) { return GetValue(name_, a_pbstrValue); }

HRESULT CKelFileInfo::InterfaceSupportsErrorInfo(const Guid& iid) {
  return SupportsErrorInfoFor<IKelFileInfo>(iid);
}

}  // namespace ringwell::kel
