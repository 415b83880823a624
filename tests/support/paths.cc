#include "support/paths.h"

namespace brask::testing {

std::string program_path(const std::string& name) {
  return std::string(BRASK_BIN_DIR) + "/" + name;
}
std::string source_dir() {
  return BRASK_SOURCE_DIR;
}
std::string shared_testdata_dir() {
  return std::string(BRASK_SOURCE_DIR) + "/../shared/testdata";
}

}  // namespace brask::testing
