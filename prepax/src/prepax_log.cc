#include "prepax_log.h"

#include "ringwell/common/class_registry.h"
#include "ringwell/common/message_tables.h"

namespace ringwell::prepax {

const CEventLog& PrepaxLog() {
  static const CEventLog log(kPrepaxEventSource,
                             ModulePathOf(reinterpret_cast<const void*>(&PrepaxLog)),
                             prepax_msg::kTable);
  return log;
}

}  // namespace ringwell::prepax
