#include "file_store.h"

#include "request_checks.h"
#include "toolkit.h"
#include "user_time.h"

namespace ringwell::kel::client {

StoreOutcome StoreFile(IKelService* service, const std::string& path, bool overwrite) {
  if (const std::string problem = WavProblem(path); !problem.empty()) {
    throw Failure(E_INVALIDARG, path + " " + problem);
  }
  const std::string name = path.substr(path.rfind('/') + 1);
  if (const std::string problem = FileNameProblem(name); !problem.empty()) {
    throw Failure(E_INVALIDARG, problem);
  }
  if (Check(service->SubmitFile(path.c_str(), overwrite ? 1 : 0), "storing " + path) == S_OK) {
    return StoreOutcome::kStored;
  }
  ComPtr<IKelFileInfo> info;
  if (!overwrite && Check(service->GetFileInfo(name.c_str(), info.Put())) == S_OK) {
    return StoreOutcome::kExists;
  }
  return StoreOutcome::kNotWritable;
}

nlohmann::json FileJson(IKelFileInfo* info) {
  std::string name;
  std::int32_t size = 0;
  OleDate date = 0;
  Check(info->get_Name(&name));
  Check(info->get_Size(&size));
  Check(info->get_Date(&date));
  return {{"name", name}, {"size", size}, {"date", JsonTime(date)}};
}

nlohmann::json StoredFiles(IKelService* service) {
  ComPtr<IKelFiles> files;
  Check(service->get_Files(files.Put()));
  std::int32_t count = 0;
  Check(files->get_Count(&count));
  nlohmann::json list = nlohmann::json::array();
  for (std::int32_t i = 0; i < count; ++i) {
    ComPtr<IKelFileInfo> info;
    Check(files->get_Item(i, info.Put()));
    list.push_back(FileJson(info.Get()));
  }
  return list;
}

}  // namespace ringwell::kel::client
