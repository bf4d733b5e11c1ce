#include "worker_share.h"

#include <cstdint>

namespace ringwell::prepax {
namespace {

WorkerShare g_share;

// FNV-1a: the same value in every process and every build.
std::uint32_t NameHash(std::string_view name) {
  std::uint32_t hash = 2166136261u;
  for (char c : name) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 16777619u;
  }
  return hash;
}

}  // namespace

bool WorkerShare::Owns(std::string_view name) const {
  return count <= 1 || NameHash(name) % count == index;
}

const WorkerShare& CurrentWorkerShare() { return g_share; }

void SetWorkerShare(WorkerShare share) { g_share = share; }

}  // namespace ringwell::prepax
