// tallier_report_writer: one writer of one report, for tests that run several
// writers at once in other processes, mount namespaces or boxes sharing a
// storage root (scripts/test-scale-out), each update a locked
// load-change-save of the report generator.
//
//   tallier_report_writer create REQUEST_FILE
//       makes the request's report, Reports/ID.xml below the configured root
//   tallier_report_writer add REPORT NUMBER TAG COUNT
//       adds COUNT call results to recipient NUMBER of REPORT, one update
//       each, the i-th (from 0) with Error="TAG-i"
//
// Exit 0 when every update was saved; 1 with what failed on standard error;
// 2 for a wrong command line.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ctallier.h"

namespace {

using ringwell::ComPtr;
using ringwell::MakeComObject;
using ringwell::S_OK;
using ringwell::tallier::CTallier;

int Usage() {
  std::fprintf(stderr,
               "usage: tallier_report_writer create REQUEST_FILE\n"
               "       tallier_report_writer add REPORT NUMBER TAG COUNT\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  const ComPtr<CTallier> tallier = MakeComObject<CTallier>();
  if (command == "create" && argc == 3) {
    if (tallier->CreateNewReport(argv[2]) == S_OK) return 0;
    std::fprintf(stderr, "tallier_report_writer: no report made for %s\n", argv[2]);
    return 1;
  }
  if (command != "add" || argc != 6) return Usage();
  char* end = nullptr;
  const long count = std::strtol(argv[5], &end, 10);
  if (*end != '\0' || count < 0) return Usage();
  long failed = 0;
  for (long i = 0; i < count; ++i) {
    const std::string result = "<Call Error=\"" + std::string(argv[4]) + "-" + std::to_string(i) +
                               "\"><Time dt:dt=\"dateTime\">2024-05-01T10:00:00</Time></Call>";
    if (tallier->AddCallResult(argv[2], argv[3], result.c_str()) != S_OK) ++failed;
  }
  if (failed == 0) return 0;
  std::fprintf(stderr, "tallier_report_writer: %ld of %ld updates of %s failed\n", failed, count,
               argv[2]);
  return 1;
}
